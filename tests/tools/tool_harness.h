// Helpers for the tests of bcst-feed and bcst-dump: running a tool with its output in files, a small
// JSON reader for their JSON Lines, and pcap files read and written byte by byte (without libpcap), so
// that captures are checked independently of the tools' own capture code.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace toolstest {

using bcsttest::Bytes;

// ------------------------------------------------------------------------------------ processes

// A tool started with stdout and stderr going to files; killed by pid on destruction if still running.
class ToolProcess {
  public:
    ToolProcess(const std::string& workDir, const std::vector<std::string>& argv, const std::string& name)
        : outPath_(workDir + "/" + name + ".out"), errPath_(workDir + "/" + name + ".err") {
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            const int in = open("/dev/null", O_RDONLY);
            const int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || out < 0 || err < 0 || chdir(workDir.c_str()) != 0) {
                _exit(126);
            }
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            execv(args[0], args.data());
            _exit(127);
        }
    }
    ~ToolProcess() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
        }
    }
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool Signal(int signalNumber) { return pid_ > 0 && !reaped_ && kill(pid_, signalNumber) == 0; }
    bool Running() {
        if (reaped_) {
            return false;
        }
        if (waitpid(pid_, &status_, WNOHANG) == pid_) {
            reaped_ = true;
        }
        return !reaped_;
    }
    // Exit status; -1 when still running after `timeout`; 128 + signal when killed by one.
    int Wait(std::chrono::milliseconds timeout) {
        if (!bcsttest::WaitUntil([this] { return !Running(); }, timeout)) {
            return -1;
        }
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
    }
    std::string Out() const { return bcsttest::ReadFile(outPath_); }
    std::string Err() const { return bcsttest::ReadFile(errPath_); }

  private:
    std::string outPath_, errPath_;
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
};

struct ToolResult {
    int status = -1;
    std::string out, err;
};

// Runs a tool to its end (at most `timeout`; then it is killed and the status is -1).
inline ToolResult RunTool(const std::string& workDir, const std::vector<std::string>& argv,
                          std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    static int serial = 0;
    ToolProcess process(workDir, argv, "run" + std::to_string(serial++));
    ToolResult r;
    r.status = process.Wait(timeout);
    r.out = process.Out();
    r.err = process.Err();
    return r;
}

// ------------------------------------------------------------------------------------ JSON

struct Json {
    enum Type { kNull, kBool, kNumber, kString, kArray, kObject } type = kNull;
    bool boolean = false;
    int64_t number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    bool Has(const std::string& key) const { return type == kObject && members.count(key) != 0; }
    const Json& operator[](const std::string& key) const {
        auto found = members.find(key);
        if (type != kObject || found == members.end()) {
            throw std::runtime_error("no member " + key);
        }
        return found->second;
    }
    int64_t Int(const std::string& key) const { return (*this)[key].number; }
    std::string Str(const std::string& key) const { return (*this)[key].text; }
};

class JsonParser {
  public:
    explicit JsonParser(const std::string& text) : s_(text) {}
    Json ParseWhole() {
        Json value = Value();
        Space();
        if (at_ != s_.size()) {
            Fail("trailing characters");
        }
        return value;
    }

  private:
    [[noreturn]] void Fail(const std::string& what) {
        throw std::runtime_error("JSON: " + what + " at " + std::to_string(at_) + " in: " + s_);
    }
    void Space() {
        while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\r' || s_[at_] == '\n')) {
            ++at_;
        }
    }
    bool Take(char c) {
        Space();
        if (at_ < s_.size() && s_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    void Expect(char c) {
        if (!Take(c)) {
            Fail(std::string("expected ") + c);
        }
    }
    bool Word(const char* word) {
        const size_t n = strlen(word);
        if (s_.compare(at_, n, word) == 0) {
            at_ += n;
            return true;
        }
        return false;
    }
    std::string String() {
        Expect('"');
        std::string out;
        while (at_ < s_.size() && s_[at_] != '"') {
            char c = s_[at_++];
            if (static_cast<unsigned char>(c) < 0x20) {
                Fail("control character in string");
            }
            if (c == '\\') {
                if (at_ >= s_.size()) {
                    Fail("escape at end");
                }
                const char e = s_[at_++];
                switch (e) {
                    case '"':
                    case '\\':
                    case '/':
                        out += e;
                        break;
                    case 'n':
                        out += '\n';
                        break;
                    case 't':
                        out += '\t';
                        break;
                    case 'r':
                        out += '\r';
                        break;
                    case 'b':
                        out += '\b';
                        break;
                    case 'f':
                        out += '\f';
                        break;
                    case 'u': {
                        if (at_ + 4 > s_.size()) {
                            Fail("short \\u escape");
                        }
                        const unsigned long code = std::stoul(s_.substr(at_, 4), nullptr, 16);
                        at_ += 4;
                        if (code > 0xFF) {
                            Fail("code point beyond one byte");
                        }
                        out += static_cast<char>(code);
                        break;
                    }
                    default:
                        Fail("bad escape");
                }
            } else {
                out += c;
            }
        }
        Expect('"');
        return out;
    }
    Json Value() {
        Space();
        Json v;
        if (at_ >= s_.size()) {
            Fail("unexpected end");
        }
        const char c = s_[at_];
        if (c == '{') {
            ++at_;
            v.type = Json::kObject;
            if (!Take('}')) {
                do {
                    Space();
                    const std::string key = String();
                    Expect(':');
                    v.members[key] = Value();
                } while (Take(','));
                Expect('}');
            }
        } else if (c == '[') {
            ++at_;
            v.type = Json::kArray;
            if (!Take(']')) {
                do {
                    v.items.push_back(Value());
                } while (Take(','));
                Expect(']');
            }
        } else if (c == '"') {
            v.type = Json::kString;
            v.text = String();
        } else if (Word("true") || Word("false")) {
            v.type = Json::kBool;
            v.boolean = s_[at_ - 1] == 'e' && s_[at_ - 2] == 'u';
        } else if (Word("null")) {
            v.type = Json::kNull;
        } else {
            size_t used = 0;
            v.type = Json::kNumber;
            try {
                v.number = std::stoll(s_.substr(at_), &used);
            } catch (const std::exception&) {
                Fail("bad value");
            }
            at_ += used;
            if (at_ < s_.size() && (s_[at_] == '.' || s_[at_] == 'e' || s_[at_] == 'E')) {
                Fail("only integers are expected");
            }
        }
        return v;
    }

    const std::string& s_;
    size_t at_ = 0;
};

// One object per non-empty line.
inline std::vector<Json> ParseJsonLines(const std::string& text) {
    std::vector<Json> all;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(start, end - start);
        if (!line.empty()) {
            all.push_back(JsonParser(line).ParseWhole());
        }
        start = end + 1;
    }
    return all;
}

// ------------------------------------------------------------------------------------ bytes

inline uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline int64_t Le64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = v << 8 | p[i];
    }
    return static_cast<int64_t>(v);
}
inline uint16_t Be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline uint32_t Be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
inline void PutLe64(Bytes& b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
    }
}
inline void PutBe64(Bytes& b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        b.at(at + i) = static_cast<uint8_t>(v >> (56 - 8 * i));
    }
}

// ------------------------------------------------------------------------------------ pcap files

constexpr uint32_t kLinkEthernet = 1;
constexpr uint32_t kLinkRawIp = 101;
constexpr uint32_t kLinkLinuxCooked = 113;

struct PcapPacket {
    uint32_t seconds = 0;
    uint32_t micros = 0;
    uint32_t wireLength = 0;  // 0: the captured length
    Bytes data;
};

// A classic little-endian microsecond pcap file.
inline void WritePcap(const std::string& path, uint32_t linkType, const std::vector<PcapPacket>& packets) {
    Bytes file(24, 0);
    bcsttest::PutLe32(file, 0, 0xA1B2C3D4);
    bcsttest::PutLe16(file, 4, 2);
    bcsttest::PutLe16(file, 6, 4);
    bcsttest::PutLe32(file, 16, 65535);
    bcsttest::PutLe32(file, 20, linkType);
    for (const PcapPacket& p : packets) {
        Bytes header(16, 0);
        bcsttest::PutLe32(header, 0, p.seconds);
        bcsttest::PutLe32(header, 4, p.micros);
        bcsttest::PutLe32(header, 8, static_cast<uint32_t>(p.data.size()));
        bcsttest::PutLe32(header, 12,
                          p.wireLength != 0 ? p.wireLength : static_cast<uint32_t>(p.data.size()));
        file.insert(file.end(), header.begin(), header.end());
        file.insert(file.end(), p.data.begin(), p.data.end());
    }
    bcsttest::WriteFile(path, std::string(file.begin(), file.end()));
}

// Reads a classic pcap file; the link type goes to `*linkType`. Fails the test on a malformed file.
inline std::vector<PcapPacket> ReadPcap(const std::string& path, uint32_t* linkType = nullptr) {
    const std::string text = bcsttest::ReadFile(path);
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
inline uint16_t InternetChecksum(const uint8_t* data, size_t length, uint32_t sum = 0) {
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

inline uint32_t Ipv4(const std::string& dotted) {
    unsigned a, b, c, d;
    if (sscanf(dotted.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4) {
        throw std::runtime_error("bad address " + dotted);
    }
    return a << 24 | b << 16 | c << 8 | d;  // host order
}

struct Addressing {
    std::string source = "127.0.0.1";
    std::string destination = "239.50.0.1";
    uint16_t sourcePort = 40000;
    uint16_t destinationPort = 5000;
    uint16_t id = 1;
    uint8_t protocol = 17;
};

// An IPv4 packet carrying `payload` as UDP (or, with another protocol number, as that protocol's bytes).
inline Bytes Ipv4Packet(const Addressing& to, const Bytes& payload) {
    const bool udp = to.protocol == 17;
    const size_t body = payload.size() + (udp ? 8 : 0);
    Bytes ip(20 + body, 0);
    ip[0] = 0x45;
    bcsttest::PutBe16(ip, 2, static_cast<uint16_t>(ip.size()));
    bcsttest::PutBe16(ip, 4, to.id);
    ip[8] = 1;
    ip[9] = to.protocol;
    bcsttest::PutBe32(ip, 12, Ipv4(to.source));
    bcsttest::PutBe32(ip, 16, Ipv4(to.destination));
    bcsttest::PutBe16(ip, 10, InternetChecksum(ip.data(), 20));
    size_t at = 20;
    if (udp) {
        bcsttest::PutBe16(ip, 20, to.sourcePort);
        bcsttest::PutBe16(ip, 22, to.destinationPort);
        bcsttest::PutBe16(ip, 24, static_cast<uint16_t>(8 + payload.size()));
        at = 28;
    }
    std::copy(payload.begin(), payload.end(), ip.begin() + static_cast<std::ptrdiff_t>(at));
    return ip;
}

// Splits an IPv4 packet into fragments of at most `chunk` payload bytes (a multiple of 8).
inline std::vector<Bytes> Fragment(const Bytes& packet, size_t chunk) {
    std::vector<Bytes> pieces;
    const Bytes header(packet.begin(), packet.begin() + 20);
    for (size_t offset = 0; offset < packet.size() - 20; offset += chunk) {
        const size_t n = std::min(chunk, packet.size() - 20 - offset);
        Bytes piece = header;
        piece.insert(piece.end(), packet.begin() + static_cast<std::ptrdiff_t>(20 + offset),
                     packet.begin() + static_cast<std::ptrdiff_t>(20 + offset + n));
        const bool more = offset + n < packet.size() - 20;
        bcsttest::PutBe16(piece, 2, static_cast<uint16_t>(piece.size()));
        bcsttest::PutBe16(piece, 6, static_cast<uint16_t>((more ? 0x2000 : 0) | (offset / 8)));
        bcsttest::PutBe16(piece, 10, 0);
        bcsttest::PutBe16(piece, 10, InternetChecksum(piece.data(), 20));
        pieces.push_back(piece);
    }
    return pieces;
}

// An Ethernet frame around `payload` with the given EtherType, after any VLAN tags (802.1Q, 802.1ad).
inline Bytes Ethernet(const Bytes& payload, uint16_t etherType = 0x0800,
                      const std::vector<uint16_t>& tags = {}) {
    Bytes frame = {0x01, 0x00, 0x5E, 0x32, 0x00, 0x01, 0x02, 0x00, 0x7F, 0x00, 0x00, 0x01};
    for (size_t i = 0; i < tags.size(); ++i) {
        frame.push_back(static_cast<uint8_t>(tags[i] >> 8));
        frame.push_back(static_cast<uint8_t>(tags[i]));
        frame.push_back(0x00);  // priority and VLAN id
        frame.push_back(static_cast<uint8_t>(10 + i));
    }
    frame.push_back(static_cast<uint8_t>(etherType >> 8));
    frame.push_back(static_cast<uint8_t>(etherType));
    frame.insert(frame.end(), payload.begin(), payload.end());
    while (frame.size() < 60) {
        frame.push_back(0);  // Ethernet's minimum frame, padded
    }
    return frame;
}

// A Linux cooked-capture (SLL) header around an IPv4 packet.
inline Bytes LinuxCooked(const Bytes& ip) {
    Bytes frame = {0x00, 0x00, 0x03, 0x04, 0x00, 0x06, 0x02, 0x00,
                   0x7F, 0x00, 0x00, 0x01, 0x00, 0x00, 0x08, 0x00};
    frame.insert(frame.end(), ip.begin(), ip.end());
    return frame;
}

// The UDP payloads of an Ethernet/IPv4/UDP capture as bcst-feed writes it, each packet's headers
// checked on the way: multicast MAC of the group, IPv4 header and UDP checksums, lengths.
inline std::vector<Bytes> UdpPayloadsOf(const std::string& path, const std::string& group, uint16_t port) {
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

}  // namespace toolstest
