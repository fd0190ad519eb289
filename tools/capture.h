// Packet captures: writing UDP datagrams as Ethernet/IPv4/UDP packets to a pcap file, and reading the
// UDP datagrams back out of any Ethernet, VLAN, Linux-cooked, loopback or raw-IP capture.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

struct pcap;
struct pcap_dumper;

namespace bcsttools {

// One UDP/IPv4 datagram with its addresses (network byte order) and ports (host order).
struct UdpDatagram {
    struct timeval time = {};
    uint32_t source = 0;
    uint32_t destination = 0;
    uint16_t sourcePort = 0;
    uint16_t destinationPort = 0;
    std::vector<uint8_t> payload;
    bool complete = true;  // false when the capture's snapshot length cut the packet short
};

class PcapWriter {
  public:
    PcapWriter() = default;
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;
    // Creates `path`; false with `*error` set when it cannot.
    bool Open(const std::string& path, std::string* error);
    // Appends the datagram as one Ethernet frame to the group's multicast MAC address.
    void Write(const UdpDatagram& datagram, uint8_t ttl);
    void Flush();
    void Close();
    bool IsOpen() const { return dumper_ != nullptr; }

  private:
    pcap* dead_ = nullptr;
    pcap_dumper* dumper_ = nullptr;
    uint16_t nextId_ = 1;
};

// The Ethernet/IPv4/UDP bytes of one datagram, as PcapWriter stores them.
std::vector<uint8_t> BuildEthernetPacket(const UdpDatagram& datagram, uint8_t ttl, uint16_t ipId);

class PcapReader {
  public:
    PcapReader() = default;
    ~PcapReader();
    PcapReader(const PcapReader&) = delete;
    PcapReader& operator=(const PcapReader&) = delete;
    bool Open(const std::string& path, std::string* error);
    // The next UDP datagram, reassembled from IPv4 fragments when needed; packets of other kinds are
    // skipped and counted. False at the end of the file or on a read error (then error() is set).
    bool Next(UdpDatagram* datagram);
    const std::string& error() const { return error_; }
    uint64_t packets() const { return packets_; }
    uint64_t skipped() const { return skipped_; }

  private:
    struct Reassembly {
        std::map<uint32_t, std::vector<uint8_t>> pieces;  // fragment offset -> IP payload bytes
        uint32_t totalLength = 0;                         // known once the last fragment arrived
        bool cut = false;
    };
    using FragmentKey = std::vector<uint32_t>;  // source, destination, identification

    // Parses one captured packet; true when it yielded a datagram.
    bool Parse(const uint8_t* data, uint32_t captured, uint32_t wireLength, const struct timeval& time,
               UdpDatagram* datagram);
    bool ParseIpv4(const uint8_t* ip, size_t available, bool cut, const struct timeval& time,
                   UdpDatagram* datagram);
    bool ParseUdp(const uint8_t* udp, size_t length, uint32_t source, uint32_t destination, bool cut,
                  const struct timeval& time, UdpDatagram* datagram);

    pcap* handle_ = nullptr;
    int linkType_ = 0;
    std::string error_;
    uint64_t packets_ = 0;
    uint64_t skipped_ = 0;
    std::map<FragmentKey, Reassembly> fragments_;
    std::list<FragmentKey> fragmentOrder_;  // oldest first, to bound what waits for reassembly
};

}  // namespace bcsttools
