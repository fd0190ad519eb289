// pcap files through libpcap. Every header field read from a capture is bounded by the bytes the
// capture actually holds for that packet.
#include "tools/capture.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "mbp/framing.h"
#include "tools/decode.h"

namespace bcst {

namespace {

constexpr size_t kEthernetHeader = 14;
constexpr size_t kVlanTag = 4;
constexpr size_t kIpv4Header = 20;
constexpr size_t kUdpHeader = 8;
constexpr size_t kSllHeader = 16;
constexpr size_t kSll2Header = 20;
constexpr size_t kNullHeader = 4;
constexpr uint16_t kEtherTypeIpv4 = 0x0800;
constexpr uint16_t kIpFlagMoreFragments = 0x2000;
constexpr uint16_t kIpFlagDontFragment = 0x4000;
constexpr uint16_t kIpFragmentOffsetMask = 0x1FFF;
constexpr uint8_t kProtocolUdp = 17;
constexpr int kSnapLength = 65535;
constexpr size_t kMaxPendingReassemblies = 64;

uint16_t LoadBe16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] << 8 | at[1]);
}

void StoreBe16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

// One's-complement sum of 16-bit big-endian words, the Internet checksum's running total. Such sums
// do not depend on byte order (RFC 1071): the words are added four bytes at a time in host order,
// folded, and the result's bytes exchanged on a little-endian host. Capturing a busy group spends
// most of its time here.
uint32_t SumWords(const uint8_t* data, size_t length, uint32_t sum) {
    uint64_t wide = 0;
    size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        uint32_t word;
        memcpy(&word, data + i, 4);
        wide += word;
    }
    if (i + 2 <= length) {
        uint16_t word;
        memcpy(&word, data + i, 2);
        wide += word;
        i += 2;
    }
    if (i < length) {
        // The odd last byte is the high byte of a word padded with zero.
        const uint8_t last[2] = {data[i], 0};
        uint16_t word;
        memcpy(&word, last, 2);
        wide += word;
    }
    while (wide >> 16) {
        wide = (wide & 0xFFFF) + (wide >> 16);
    }
    auto folded = static_cast<uint16_t>(wide);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    folded = __builtin_bswap16(folded);
#elif __BYTE_ORDER__ != __ORDER_BIG_ENDIAN__
#error "unknown byte order"
#endif
    return sum + folded;
}

uint16_t FoldChecksum(uint32_t sum) {
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

// The Ethernet address a datagram to `address` goes to: 01:00:5e and the low 23 bits of a multicast
// group; a locally administered address carrying the IPv4 address otherwise.
void MacFor(uint32_t address, uint8_t* mac) {
    const auto* ip = reinterpret_cast<const uint8_t*>(&address);
    if ((ip[0] & 0xF0) == 0xE0) {
        const uint8_t multicast[6] = {0x01, 0x00, 0x5E, static_cast<uint8_t>(ip[1] & 0x7F), ip[2], ip[3]};
        memcpy(mac, multicast, 6);
    } else {
        const uint8_t local[6] = {0x02, 0x00, ip[0], ip[1], ip[2], ip[3]};
        memcpy(mac, local, 6);
    }
}

// The process's umask, for files made by mkstemp (always 0600) to get the usual permissions.
mode_t CurrentUmask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

}  // namespace

namespace {

// Builds the Ethernet/IPv4/UDP packet of one datagram into `packet`, reusing its storage.
void BuildPacket(uint32_t source, uint16_t sourcePort, uint32_t destination, uint16_t destinationPort,
                 const uint8_t* payload, size_t payloadLength, uint8_t ttl, uint16_t ipId,
                 std::vector<uint8_t>* packet) {
    const size_t udpLength = kUdpHeader + payloadLength;
    const size_t ipLength = kIpv4Header + udpLength;
    packet->assign(kEthernetHeader + ipLength, 0);

    uint8_t* eth = packet->data();
    MacFor(destination, eth);
    const auto* src = reinterpret_cast<const uint8_t*>(&source);
    const uint8_t sourceMac[6] = {0x02, 0x00, src[0], src[1], src[2], src[3]};
    memcpy(eth + 6, sourceMac, 6);
    StoreBe16(eth + 12, kEtherTypeIpv4);

    uint8_t* ip = eth + kEthernetHeader;
    ip[0] = 0x45;  // version 4, 5 words of header
    StoreBe16(ip + 2, static_cast<uint16_t>(ipLength));
    StoreBe16(ip + 4, ipId);
    StoreBe16(ip + 6, kIpFlagDontFragment);
    ip[8] = ttl;
    ip[9] = kProtocolUdp;
    memcpy(ip + 12, &source, 4);
    memcpy(ip + 16, &destination, 4);
    StoreBe16(ip + 10, FoldChecksum(SumWords(ip, kIpv4Header, 0)));

    uint8_t* udp = ip + kIpv4Header;
    StoreBe16(udp, sourcePort);
    StoreBe16(udp + 2, destinationPort);
    StoreBe16(udp + 4, static_cast<uint16_t>(udpLength));
    if (payloadLength > 0) {
        memcpy(udp + kUdpHeader, payload, payloadLength);
    }
    // Checksum over the pseudo header (addresses, protocol, length) and the whole datagram.
    uint32_t sum = SumWords(ip + 12, 8, 0);
    sum += kProtocolUdp;
    sum += static_cast<uint32_t>(udpLength);
    uint16_t checksum = FoldChecksum(SumWords(udp, udpLength, sum));
    StoreBe16(udp + 6, checksum == 0 ? 0xFFFF : checksum);
}

constexpr size_t kWriteBuffer = 1 << 20;
constexpr size_t kPcapRecordHeader = 16;  // seconds, microseconds, captured and wire length

}  // namespace

std::vector<uint8_t> BuildEthernetPacket(const UdpDatagram& d, uint8_t ttl, uint16_t ipId) {
    std::vector<uint8_t> packet;
    BuildPacket(d.source, d.sourcePort, d.destination, d.destinationPort, d.payload.data(), d.payload.size(),
                ttl, ipId, &packet);
    return packet;
}

PcapWriter::~PcapWriter() {
    Abandon();
}

bool PcapWriter::Open(const std::string& path, Mode mode, std::string* error) {
    Abandon();
    path_ = path;
    pendingEnds_.clear();
    onDisk_ = 0;
    written_ = 0;
    failed_ = false;
    failure_.clear();
    if (path == "-") {
        file_ = stdout;
    } else if (mode == Mode::kDirect) {
        file_ = fopen(path.c_str(), "wb");
    } else {
        // The rename at the end would fail on a directory, after the whole run: refuse it now.
        struct stat target;
        if (stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
            *error = "is a directory; name a file";
            Abandon();
            return false;
        }
        // Beside the target, so that the rename stays within one file system.
        const size_t slash = path.rfind('/');
        const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        std::string pattern = directory + "." + name + ".XXXXXX";
        const int fd = mkstemp(&pattern[0]);
        if (fd >= 0) {
            fchmod(fd, 0644 & ~CurrentUmask());
            temporary_ = pattern;
            file_ = fdopen(fd, "wb");
            if (file_ == nullptr) {
                close(fd);
            }
        }
    }
    if (file_ == nullptr) {
        *error = strerror(errno);
        Abandon();
        return false;
    }
    buffer_.resize(kWriteBuffer);
    setvbuf(file_, buffer_.data(), _IOFBF, buffer_.size());
    dead_ = pcap_open_dead(DLT_EN10MB, kSnapLength);
    dumper_ = dead_ == nullptr ? nullptr : pcap_dump_fopen(dead_, file_);
    if (dumper_ == nullptr) {
        *error = dead_ == nullptr ? "cannot set up a capture" : pcap_geterr(dead_);
        Abandon();
        return false;
    }
    // The file header goes out at once: an empty capture is a valid one.
    pending_ = 24;
    Flush();
    if (failed_) {
        *error = failure_;
        Abandon();
        return false;
    }
    return true;
}

void PcapWriter::Write(const UdpDatagram& d, uint8_t ttl) {
    Write(d.time, d.source, d.sourcePort, d.destination, d.destinationPort, d.payload.data(),
          d.payload.size(), ttl);
}

void PcapWriter::Write(const struct timeval& time, uint32_t source, uint16_t sourcePort, uint32_t destination,
                       uint16_t destinationPort, const uint8_t* payload, size_t length, uint8_t ttl) {
    if (dumper_ == nullptr || failed_) {
        return;
    }
    BuildPacket(source, sourcePort, destination, destinationPort, payload, length, ttl, nextId_++, &packet_);
    // Empty the buffer before a packet that would not fit whole, so that stdio never writes half of one.
    const size_t record = kPcapRecordHeader + packet_.size();
    if (pending_ + record > buffer_.size()) {
        Flush();
    }
    struct pcap_pkthdr header = {};
    header.ts = time;
    header.caplen = static_cast<bpf_u_int32>(packet_.size());
    header.len = header.caplen;
    pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, packet_.data());
    pending_ += record;
    pendingEnds_.push_back(onDisk_ + pending_);
    if (packetBuffered_) {
        Flush();
    }
}

void PcapWriter::Flush() {
    if (dumper_ == nullptr || pending_ == 0 || failed_) {
        return;
    }
    if (pcap_dump_flush(dumper_) == 0 && !ferror(file_)) {
        onDisk_ += pending_;
        written_ += pendingEnds_.size();
    } else {
        // A full disk: the write stopped somewhere inside the buffer. What reached the file is cut
        // back to its last whole packet, nothing more is written, and the count says what is there.
        failed_ = true;
        failure_ = strerror(errno);
        struct stat file = {};
        const int fd = fileno(file_);
        const uint64_t size =
            fstat(fd, &file) == 0 && S_ISREG(file.st_mode) ? static_cast<uint64_t>(file.st_size) : 0;
        uint64_t whole = onDisk_;
        for (const uint64_t end : pendingEnds_) {
            if (end <= size) {
                whole = end;
                ++written_;
            }
        }
        // What stdio still holds would otherwise go out at the close, behind the cut.
        __fpurge(file_);
        clearerr(file_);
        if (S_ISREG(file.st_mode) && ftruncate(fd, static_cast<off_t>(whole)) == 0) {
            onDisk_ = whole;
        }
    }
    pendingEnds_.clear();
    pending_ = 0;
}

bool PcapWriter::Close(std::string* error) {
    if (dumper_ == nullptr) {
        return true;
    }
    Flush();
    bool ok = !failed_;
    std::string why = failure_;
    if (file_ == stdout) {
        // The standard output stays open for the summary.
    } else {
        if (ok && !temporary_.empty() && fsync(fileno(file_)) != 0) {
            ok = false;
            why = strerror(errno);
        }
        pcap_dump_close(dumper_);  // closes file_
    }
    dumper_ = nullptr;
    file_ = nullptr;
    pcap_close(dead_);
    dead_ = nullptr;
    if (!temporary_.empty()) {
        if (ok && rename(temporary_.c_str(), path_.c_str()) != 0) {
            ok = false;
            why = strerror(errno);
        }
        if (!ok) {
            unlink(temporary_.c_str());
            written_ = 0;
        }
        temporary_.clear();
    }
    if (!ok && error != nullptr) {
        *error = why;
    }
    return ok;
}

void PcapWriter::Abandon() {
    if (dumper_ != nullptr) {
        if (file_ == stdout) {
            pcap_dump_flush(dumper_);
        } else {
            pcap_dump_close(dumper_);
        }
    } else if (file_ != nullptr && file_ != stdout) {
        fclose(file_);
    }
    dumper_ = nullptr;
    file_ = nullptr;
    if (dead_ != nullptr) {
        pcap_close(dead_);
        dead_ = nullptr;
    }
    if (!temporary_.empty()) {
        unlink(temporary_.c_str());
        temporary_.clear();
    }
}

PcapReader::~PcapReader() {
    if (handle_ != nullptr) {
        pcap_close(handle_);
    }
}

bool PcapReader::Open(const std::string& path, std::string* error) {
    char message[PCAP_ERRBUF_SIZE] = {};
    handle_ = pcap_open_offline(path.c_str(), message);
    if (handle_ == nullptr) {
        // libpcap names the file in some messages; the caller names it in all of them.
        const std::string text = message;
        const std::string named = path + ": ";
        *error = text.compare(0, named.size(), named) == 0 ? text.substr(named.size()) : text;
        return false;
    }
    linkType_ = pcap_datalink(handle_);
    switch (linkType_) {
        case DLT_EN10MB:
        case DLT_LINUX_SLL:
        case DLT_LINUX_SLL2:
        case DLT_RAW:
        case DLT_IPV4:
        case DLT_NULL:
        case DLT_LOOP:
            return true;
        default:
            *error = std::string("link type ") + std::to_string(linkType_) + " (" +
                     (pcap_datalink_val_to_name(linkType_) ? pcap_datalink_val_to_name(linkType_) : "?") +
                     ") is not one this tool reads";
            return false;
    }
}

bool PcapReader::SetFilter(const std::string& expression, std::string* error) {
    struct bpf_program program = {};
    if (pcap_compile(handle_, &program, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
        *error = pcap_geterr(handle_);
        return false;
    }
    const bool set = pcap_setfilter(handle_, &program) == 0;
    if (!set) {
        *error = pcap_geterr(handle_);
    }
    pcap_freecode(&program);
    return set;
}

bool IsSegmentedOutput(const uint8_t* data, size_t length) {
    const auto frame = static_cast<size_t>(kOutputFrameSize);
    return length > frame && length % frame == 0 && LooksLikeOutput(data, frame);
}

bool PcapReader::Next(UdpDatagram* datagram) {
    if (handle_ == nullptr) {
        return false;
    }
    const auto frame = static_cast<size_t>(kOutputFrameSize);
    if (heldAt_ < held_.payload.size()) {
        TakeHeld(datagram);
        return true;
    }
    for (;;) {
        struct pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        const int result = pcap_next_ex(handle_, &header, &data);
        if (result == PCAP_ERROR_BREAK) {
            return false;  // end of the file
        }
        if (result < 0) {
            error_ = pcap_geterr(handle_);
            return false;
        }
        if (result == 0) {
            continue;
        }
        ++packets_;
        if (!Parse(data, header->caplen, header->len, header->ts, datagram)) {
            continue;
        }
        if (datagram->complete && IsSegmentedOutput(datagram->payload.data(), datagram->payload.size())) {
            ++splitPackets_;
            splitDatagrams_ += datagram->payload.size() / frame;
            std::swap(held_, *datagram);
            heldAt_ = 0;
            TakeHeld(datagram);
        }
        return true;
    }
}

void PcapReader::TakeHeld(UdpDatagram* datagram) {
    const auto frame = static_cast<size_t>(kOutputFrameSize);
    datagram->time = held_.time;
    datagram->source = held_.source;
    datagram->destination = held_.destination;
    datagram->sourcePort = held_.sourcePort;
    datagram->destinationPort = held_.destinationPort;
    datagram->complete = true;
    const uint8_t* part = held_.payload.data() + heldAt_;
    datagram->payload.assign(part, part + frame);
    heldAt_ += frame;
}

bool PcapReader::Parse(const uint8_t* data, uint32_t captured, uint32_t wireLength,
                       const struct timeval& time, UdpDatagram* datagram) {
    size_t at = 0;
    uint16_t etherType = kEtherTypeIpv4;
    switch (linkType_) {
        case DLT_EN10MB:
            if (captured < kEthernetHeader) {
                break;
            }
            etherType = LoadBe16(data + 12);
            at = kEthernetHeader;
            // 802.1Q, 802.1ad and the older QinQ tag, stacked in any depth.
            while ((etherType == 0x8100 || etherType == 0x88A8 || etherType == 0x9100) &&
                   at + kVlanTag <= captured) {
                etherType = LoadBe16(data + at + 2);
                at += kVlanTag;
            }
            break;
        case DLT_LINUX_SLL:
            if (captured >= kSllHeader) {
                etherType = LoadBe16(data + 14);
                at = kSllHeader;
            }
            break;
        case DLT_LINUX_SLL2:
            if (captured >= kSll2Header) {
                etherType = LoadBe16(data);
                at = kSll2Header;
            }
            break;
        case DLT_NULL:
        case DLT_LOOP:
            if (captured >= kNullHeader) {
                // The address family, in the capturing host's order (DLT_NULL) or network order.
                uint32_t family;
                memcpy(&family, data, 4);
                const bool inet = family == 2 || ntohl(family) == 2;
                etherType = inet ? kEtherTypeIpv4 : 0;
                at = kNullHeader;
            }
            break;
        default:  // raw IPv4
            break;
    }
    if (at == 0 && linkType_ != DLT_RAW && linkType_ != DLT_IPV4) {
        ++skipped_;
        return false;
    }
    if (etherType != kEtherTypeIpv4 || at >= captured) {
        ++skipped_;
        return false;
    }
    return ParseIpv4(data + at, captured - at, captured < wireLength, time, datagram);
}

bool PcapReader::ParseIpv4(const uint8_t* ip, size_t available, bool cut, const struct timeval& time,
                           UdpDatagram* datagram) {
    if (available < kIpv4Header || (ip[0] >> 4) != 4) {
        ++skipped_;
        return false;
    }
    const size_t headerLength = static_cast<size_t>(ip[0] & 0x0F) * 4;
    const size_t totalLength = LoadBe16(ip + 2);
    if (headerLength < kIpv4Header || headerLength > available || totalLength < headerLength ||
        ip[9] != kProtocolUdp) {
        ++skipped_;
        return false;
    }
    // Ethernet pads short frames: the IP length says where the packet ends. A capture cut by its
    // snapshot length holds less than that.
    size_t length = totalLength;
    if (available < totalLength) {
        if (!cut) {
            ++skipped_;
            return false;
        }
        length = available;
    }
    uint32_t source, destination;
    memcpy(&source, ip + 12, 4);
    memcpy(&destination, ip + 16, 4);
    const uint16_t fragment = LoadBe16(ip + 6);
    const size_t offset = static_cast<size_t>(fragment & kIpFragmentOffsetMask) * 8;
    const bool more = (fragment & kIpFlagMoreFragments) != 0;
    const uint8_t* body = ip + headerLength;
    const size_t bodyLength = length - headerLength;
    if (!more && offset == 0) {
        return ParseUdp(body, bodyLength, source, destination, cut, time, datagram);
    }

    // A fragment: collect the pieces until the datagram is whole.
    const FragmentKey key = {source, destination, LoadBe16(ip + 4)};
    auto found = fragments_.find(key);
    if (found == fragments_.end()) {
        if (fragments_.size() >= kMaxPendingReassemblies) {
            CountUnreassembled(fragments_[fragmentOrder_.front()], &givenUp_);
            fragments_.erase(fragmentOrder_.front());
            fragmentOrder_.pop_front();
        }
        found = fragments_.emplace(key, Reassembly()).first;
        fragmentOrder_.push_back(key);
    }
    Reassembly& r = found->second;
    if (offset + bodyLength > 65535) {
        ++skipped_;
        return false;
    }
    r.pieces[static_cast<uint32_t>(offset)].assign(body, body + bodyLength);
    r.cut = r.cut || cut;
    if (!more) {
        r.totalLength = static_cast<uint32_t>(offset + bodyLength);
    }
    if (r.totalLength == 0) {
        return false;
    }
    std::vector<uint8_t> whole;
    whole.reserve(r.totalLength);
    for (const auto& piece : r.pieces) {
        if (piece.first > whole.size()) {
            return false;  // a hole: more fragments to come
        }
        const size_t skip = whole.size() - piece.first;
        if (piece.second.size() > skip) {
            whole.insert(whole.end(), piece.second.begin() + static_cast<std::ptrdiff_t>(skip),
                         piece.second.end());
        }
    }
    if (whole.size() < r.totalLength) {
        return false;
    }
    whole.resize(r.totalLength);
    const bool wholeCut = r.cut;
    fragments_.erase(found);
    fragmentOrder_.remove(key);
    return ParseUdp(whole.data(), whole.size(), source, destination, wholeCut, time, datagram);
}

void PcapReader::CountUnreassembled(const Reassembly& r, UnreassembledFragments* count) {
    count->fragments += r.pieces.size();
    if (r.pieces.count(0) != 0) {
        ++count->firstWithoutRest;
    } else {
        count->laterWithoutFirst += r.pieces.size();
    }
}

UnreassembledFragments PcapReader::unreassembled() const {
    UnreassembledFragments count = givenUp_;
    for (const auto& waiting : fragments_) {
        CountUnreassembled(waiting.second, &count);
    }
    return count;
}

bool PcapReader::ParseUdp(const uint8_t* udp, size_t length, uint32_t source, uint32_t destination, bool cut,
                          const struct timeval& time, UdpDatagram* datagram) {
    if (length < kUdpHeader) {
        ++skipped_;
        return false;
    }
    const size_t udpLength = LoadBe16(udp + 4);
    if (udpLength < kUdpHeader || (udpLength > length && !cut)) {
        ++skipped_;
        return false;
    }
    const size_t end = std::min(udpLength, length);
    datagram->time = time;
    datagram->source = source;
    datagram->destination = destination;
    datagram->sourcePort = LoadBe16(udp);
    datagram->destinationPort = LoadBe16(udp + 2);
    datagram->payload.assign(udp + kUdpHeader, udp + end);
    datagram->complete = end == udpLength;
    return true;
}

}  // namespace bcst
