// Capture files read and written byte by byte (without libpcap), and the packets inside them, so that
// the tools' captures are checked independently of their own capture code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace bcsttest {

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
void WritePcap(const std::string& path, uint32_t linkType, const std::vector<PcapPacket>& packets);
// Reads a classic pcap file; the link type goes to `*linkType`. Fails the test on a malformed file.
std::vector<PcapPacket> ReadPcap(const std::string& path, uint32_t* linkType = nullptr);

// The Internet checksum of `data` (0 when the data already carries a correct checksum).
uint16_t InternetChecksum(const uint8_t* data, size_t length, uint32_t sum = 0);
uint32_t Ipv4(const std::string& dotted);  // host order

struct Addressing {
    std::string source = "127.0.0.1";
    std::string destination = "239.50.0.1";
    uint16_t sourcePort = 40000;
    uint16_t destinationPort = 5000;
    uint16_t id = 1;
    uint8_t protocol = 17;
};

// An IPv4 packet carrying `payload` as UDP (or, with another protocol number, as that protocol's bytes).
Bytes Ipv4Packet(const Addressing& to, const Bytes& payload);
// Splits an IPv4 packet into fragments of at most `chunk` payload bytes (a multiple of 8).
std::vector<Bytes> Fragment(const Bytes& packet, size_t chunk);
// An Ethernet frame around `payload` with the given EtherType, after any VLAN tags (802.1Q, 802.1ad).
Bytes Ethernet(const Bytes& payload, uint16_t etherType = 0x0800, const std::vector<uint16_t>& tags = {});
// A Linux cooked-capture (SLL) header around an IPv4 packet.
Bytes LinuxCooked(const Bytes& ip);

// The UDP payloads of an Ethernet/IPv4/UDP capture as bcst-feed writes it, each packet's headers
// checked on the way: multicast MAC of the group, IPv4 header and UDP checksums, lengths.
std::vector<Bytes> UdpPayloadsOf(const std::string& path, const std::string& group, uint16_t port);

}  // namespace bcsttest
