// Capture files and packets for the tools' tests, byte by byte at the formats' offsets.
#include "support/pcap_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace bcsttest {

// A classic little-endian microsecond pcap file.
void WritePcap(const std::string& path, uint32_t linkType, const std::vector<PcapPacket>& packets) {
    Bytes file(24, 0);
    PutLe32(file, 0, 0xA1B2C3D4);
    PutLe16(file, 4, 2);
    PutLe16(file, 6, 4);
    PutLe32(file, 16, 65535);
    PutLe32(file, 20, linkType);
    for (const PcapPacket& p : packets) {
        Bytes header(16, 0);
        PutLe32(header, 0, p.seconds);
        PutLe32(header, 4, p.micros);
        PutLe32(header, 8, static_cast<uint32_t>(p.data.size()));
        PutLe32(header, 12, p.wireLength != 0 ? p.wireLength : static_cast<uint32_t>(p.data.size()));
        const size_t at = file.size();
        file.resize(at + header.size() + p.data.size());
        std::copy(header.begin(), header.end(), file.begin() + static_cast<std::ptrdiff_t>(at));
        std::copy(p.data.begin(), p.data.end(),
                  file.begin() + static_cast<std::ptrdiff_t>(at + header.size()));
    }
    WriteFile(path, std::string(file.begin(), file.end()));
}

// Reads a classic pcap file; the link type goes to `*linkType`. Fails the test on a malformed file.
std::vector<PcapPacket> ReadPcap(const std::string& path, uint32_t* linkType) {
    const std::string text = ReadFile(path);
    const Bytes file(text.begin(), text.end());
    std::vector<PcapPacket> packets;
    if (file.size() < 24) {
        ADD_FAILURE() << path << ": no pcap header";
        return packets;
    }
    const uint32_t magic = Le32(file.data());
    EXPECT_EQ(magic, 0xA1B2C3D4u) << "little-endian microsecond pcap";
    EXPECT_EQ(Le16(file.data() + 4), 2);
    EXPECT_EQ(Le16(file.data() + 6), 4);
    if (linkType != nullptr) {
        *linkType = Le32(file.data() + 20);
    }
    size_t at = 24;
    while (at + 16 <= file.size()) {
        PcapPacket p;
        p.seconds = Le32(file.data() + at);
        p.micros = Le32(file.data() + at + 4);
        const uint32_t captured = Le32(file.data() + at + 8);
        p.wireLength = Le32(file.data() + at + 12);
        at += 16;
        if (at + captured > file.size()) {
            ADD_FAILURE() << path << ": packet runs past the end of the file";
            break;
        }
        p.data.assign(file.begin() + static_cast<std::ptrdiff_t>(at),
                      file.begin() + static_cast<std::ptrdiff_t>(at + captured));
        at += captured;
        packets.push_back(std::move(p));
    }
    EXPECT_EQ(at, file.size()) << path << ": bytes after the last packet";
    return packets;
}

// The Internet checksum of `data` (0 when the data already carries a correct checksum).
uint16_t InternetChecksum(const uint8_t* data, size_t length, uint32_t sum) {
    for (size_t i = 0; i + 1 < length; i += 2) {
        sum += Be16(data + i);
    }
    if (length % 2 != 0) {
        sum += static_cast<uint32_t>(data[length - 1]) << 8;
    }
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

uint32_t Ipv4(const std::string& dotted) {
    unsigned a, b, c, d;
    if (sscanf(dotted.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4) {
        throw std::runtime_error("bad address " + dotted);
    }
    return a << 24 | b << 16 | c << 8 | d;  // host order
}

// An IPv4 packet carrying `payload` as UDP (or, with another protocol number, as that protocol's bytes).
Bytes Ipv4Packet(const Addressing& to, const Bytes& payload) {
    const bool udp = to.protocol == 17;
    const size_t body = payload.size() + (udp ? 8 : 0);
    Bytes ip(20 + body, 0);
    ip[0] = 0x45;
    PutBe16(ip, 2, static_cast<uint16_t>(ip.size()));
    PutBe16(ip, 4, to.id);
    ip[8] = 1;
    ip[9] = to.protocol;
    PutBe32(ip, 12, Ipv4(to.source));
    PutBe32(ip, 16, Ipv4(to.destination));
    PutBe16(ip, 10, InternetChecksum(ip.data(), 20));
    size_t at = 20;
    if (udp) {
        PutBe16(ip, 20, to.sourcePort);
        PutBe16(ip, 22, to.destinationPort);
        PutBe16(ip, 24, static_cast<uint16_t>(8 + payload.size()));
        at = 28;
    }
    std::copy(payload.begin(), payload.end(), ip.begin() + static_cast<std::ptrdiff_t>(at));
    return ip;
}

// Splits an IPv4 packet into fragments of at most `chunk` payload bytes (a multiple of 8).
std::vector<Bytes> Fragment(const Bytes& packet, size_t chunk) {
    std::vector<Bytes> pieces;
    const Bytes header(packet.begin(), packet.begin() + 20);
    for (size_t offset = 0; offset < packet.size() - 20; offset += chunk) {
        const size_t n = std::min(chunk, packet.size() - 20 - offset);
        Bytes piece(20 + n);
        std::copy(header.begin(), header.end(), piece.begin());
        std::copy(packet.begin() + static_cast<std::ptrdiff_t>(20 + offset),
                  packet.begin() + static_cast<std::ptrdiff_t>(20 + offset + n), piece.begin() + 20);
        const bool more = offset + n < packet.size() - 20;
        PutBe16(piece, 2, static_cast<uint16_t>(piece.size()));
        PutBe16(piece, 6, static_cast<uint16_t>((more ? 0x2000 : 0) | (offset / 8)));
        PutBe16(piece, 10, 0);
        PutBe16(piece, 10, InternetChecksum(piece.data(), 20));
        pieces.push_back(piece);
    }
    return pieces;
}

// An Ethernet frame around `payload` with the given EtherType, after any VLAN tags (802.1Q, 802.1ad).
Bytes Ethernet(const Bytes& payload, uint16_t etherType, const std::vector<uint16_t>& tags) {
    Bytes frame = {0x01, 0x00, 0x5E, 0x32, 0x00, 0x01, 0x02, 0x00, 0x7F, 0x00, 0x00, 0x01};
    for (size_t i = 0; i < tags.size(); ++i) {
        frame.push_back(static_cast<uint8_t>(tags[i] >> 8));
        frame.push_back(static_cast<uint8_t>(tags[i]));
        frame.push_back(0x00);  // priority and VLAN id
        frame.push_back(static_cast<uint8_t>(10 + i));
    }
    frame.push_back(static_cast<uint8_t>(etherType >> 8));
    frame.push_back(static_cast<uint8_t>(etherType));
    const size_t at = frame.size();
    frame.resize(std::max<size_t>(at + payload.size(), 60));  // Ethernet's minimum frame, padded
    std::copy(payload.begin(), payload.end(), frame.begin() + static_cast<std::ptrdiff_t>(at));
    return frame;
}

// A Linux cooked-capture (SLL) header around an IPv4 packet.
Bytes LinuxCooked(const Bytes& ip) {
    Bytes frame = {0x00, 0x00, 0x03, 0x04, 0x00, 0x06, 0x02, 0x00,
                   0x7F, 0x00, 0x00, 0x01, 0x00, 0x00, 0x08, 0x00};
    frame.resize(16 + ip.size());
    std::copy(ip.begin(), ip.end(), frame.begin() + 16);
    return frame;
}

// The UDP payloads of an Ethernet/IPv4/UDP capture as bcst-feed writes it, each packet's headers
// checked on the way: multicast MAC of the group, IPv4 header and UDP checksums, lengths.
std::vector<Bytes> UdpPayloadsOf(const std::string& path, const std::string& group, uint16_t port) {
    std::vector<Bytes> payloads;
    uint32_t link = 0;
    const std::vector<PcapPacket> packets = ReadPcap(path, &link);
    EXPECT_EQ(link, kLinkEthernet);
    const uint32_t groupAddress = Ipv4(group);
    for (const PcapPacket& p : packets) {
        const Bytes& d = p.data;
        if (d.size() < 42) {
            ADD_FAILURE() << "packet of " << d.size() << " bytes";
            continue;
        }
        EXPECT_EQ(p.wireLength, d.size());
        const Bytes mac = {0x01,
                           0x00,
                           0x5E,
                           static_cast<uint8_t>((groupAddress >> 16) & 0x7F),
                           static_cast<uint8_t>(groupAddress >> 8),
                           static_cast<uint8_t>(groupAddress)};
        EXPECT_EQ(Bytes(d.begin(), d.begin() + 6), mac) << "multicast MAC of the group";
        EXPECT_EQ(Be16(d.data() + 12), 0x0800);
        const uint8_t* ip = d.data() + 14;
        EXPECT_EQ(ip[0], 0x45);
        EXPECT_EQ(Be16(ip + 2), d.size() - 14) << "IPv4 total length";
        EXPECT_EQ(InternetChecksum(ip, 20), 0) << "IPv4 header checksum";
        EXPECT_EQ(ip[9], 17);
        EXPECT_EQ(Be32(ip + 16), groupAddress);
        const uint8_t* udp = ip + 20;
        EXPECT_EQ(Be16(udp + 2), port);
        const size_t udpLength = Be16(udp + 4);
        EXPECT_EQ(udpLength, d.size() - 34);
        if (Be16(udp + 6) != 0) {
            uint32_t pseudo = Be16(ip + 12) + Be16(ip + 14) + Be16(ip + 16) + Be16(ip + 18) + 17 +
                              static_cast<uint32_t>(udpLength);
            EXPECT_EQ(InternetChecksum(udp, udpLength, pseudo), 0) << "UDP checksum";
        }
        payloads.emplace_back(d.begin() + 42, d.end());
    }
    return payloads;
}

}  // namespace bcsttest
