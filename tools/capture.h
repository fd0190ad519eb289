// Packet captures: writing UDP datagrams as Ethernet/IPv4/UDP packets to a pcap file, and reading the
// UDP datagrams back out of any Ethernet, VLAN, Linux-cooked, loopback or raw-IP capture.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <cstdio>
#include <list>
#include <map>
#include <string>
#include <vector>

struct pcap;
struct pcap_dumper;

namespace bcst {

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

// Writes whole packets only: the file on disk always ends at a packet boundary, so a capture that is
// read while it grows, or left behind by a killed tool, is readable to its last packet.
class PcapWriter {
  public:
    enum class Mode {
        kDirect,       // write to the file itself (replacing it), readable while it grows
        kWhenComplete  // write to a hidden temporary file beside it, renamed over it by Close()
    };
    PcapWriter() = default;
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;
    // Creates `path` ("-": the standard output); false with `*error` set when it cannot.
    bool Open(const std::string& path, Mode mode, std::string* error);
    // Flush after every packet (tcpdump's -U) rather than when the buffer is full.
    void SetPacketBuffered(bool on) { packetBuffered_ = on; }
    // Appends the datagram as one Ethernet frame to the group's multicast MAC address.
    void Write(const UdpDatagram& datagram, uint8_t ttl);
    void Write(const struct timeval& time, uint32_t source, uint16_t sourcePort, uint32_t destination,
               uint16_t destinationPort, const uint8_t* payload, size_t length, uint8_t ttl);
    void Flush();
    // Flushes, closes and (kWhenComplete) renames the file into place. False with `*error` set when
    // a write failed: the temporary file is then removed and the old file left as it was.
    //
    // A write that fails (a full disk) ends the capture: the file is cut back to its last whole
    // packet, later packets are dropped, and packetsWritten() says how many the file holds.
    bool Close(std::string* error = nullptr);
    // Closes without keeping anything written with kWhenComplete.
    void Abandon();
    bool IsOpen() const { return dumper_ != nullptr; }
    const std::string& temporaryPath() const { return temporary_; }
    // Whole packets that reached the file; all of them once Close() succeeded.
    uint64_t packetsWritten() const { return written_; }
    bool failed() const { return failed_; }

  private:
    pcap* dead_ = nullptr;
    pcap_dumper* dumper_ = nullptr;
    FILE* file_ = nullptr;
    std::vector<char> buffer_;           // the stdio buffer; never flushed by stdio halfway into a packet
    std::vector<uint8_t> packet_;        // the packet being built, reused
    size_t pending_ = 0;                 // bytes in buffer_ not yet written
    std::vector<uint64_t> pendingEnds_;  // file offset after each packet in buffer_
    uint64_t onDisk_ = 0;                // bytes known to be in the file
    uint64_t written_ = 0;               // whole packets known to be in the file
    bool failed_ = false;
    std::string failure_;
    bool packetBuffered_ = false;
    std::string path_;
    std::string temporary_;  // kWhenComplete: where the packets go until Close()
    uint16_t nextId_ = 1;
};

// True when `length` bytes are several of the bridge's output datagrams back to back (see
// PcapReader::Next).
bool IsSegmentedOutput(const uint8_t* data, size_t length);

// The Ethernet/IPv4/UDP bytes of one datagram, as PcapWriter stores them.
std::vector<uint8_t> BuildEthernetPacket(const UdpDatagram& datagram, uint8_t ttl, uint16_t ipId);

// IPv4 fragments that never became a whole datagram, by what was missing.
struct UnreassembledFragments {
    uint64_t fragments = 0;          // all of them
    uint64_t firstWithoutRest = 0;   // first fragments (one per datagram) whose datagram lacks later ones
    uint64_t laterWithoutFirst = 0;  // later fragments whose datagram's first fragment never came
};

class PcapReader {
  public:
    PcapReader() = default;
    ~PcapReader();
    PcapReader(const PcapReader&) = delete;
    PcapReader& operator=(const PcapReader&) = delete;
    // Opens `path` ("-": the standard input) and checks its link type.
    bool Open(const std::string& path, std::string* error);
    // Keeps only the packets that the libpcap filter `expression` (tcpdump's syntax) accepts.
    bool SetFilter(const std::string& expression, std::string* error);
    // The next UDP datagram, reassembled from IPv4 fragments when needed; packets of other kinds are
    // skipped and counted. False at the end of the file or on a read error (then error() is set).
    //
    // A capture taken on the bridge's own host holds each frame's output as one "super-packet": the
    // bridge hands a frame's 512-byte datagrams to the kernel in one segmented send, and the capture
    // sees them before the kernel (or the network card) cuts them apart. A datagram whose payload is
    // a whole multiple of 512 bytes and that starts like an output datagram is therefore returned as
    // its 512-byte datagrams, one per call, each with the packet's time and addresses.
    bool Next(UdpDatagram* datagram);
    // Super-packets cut apart so far, and the datagrams they held.
    uint64_t splitPackets() const { return splitPackets_; }
    uint64_t splitDatagrams() const { return splitDatagrams_; }
    const std::string& error() const { return error_; }
    uint64_t packets() const { return packets_; }
    uint64_t skipped() const { return skipped_; }
    // The fragments read so far that did not become a datagram: those given up for room and those
    // still waiting for the rest (at the end of the file, never to come). A capture filter by port
    // keeps only first fragments, the only ones that carry the ports.
    UnreassembledFragments unreassembled() const;

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
    static void CountUnreassembled(const Reassembly& r, UnreassembledFragments* count);
    // Hands out the next 512-byte datagram of held_.
    void TakeHeld(UdpDatagram* datagram);
    bool ParseUdp(const uint8_t* udp, size_t length, uint32_t source, uint32_t destination, bool cut,
                  const struct timeval& time, UdpDatagram* datagram);

    pcap* handle_ = nullptr;
    int linkType_ = 0;
    std::string error_;
    uint64_t packets_ = 0;
    uint64_t skipped_ = 0;
    uint64_t splitPackets_ = 0;
    uint64_t splitDatagrams_ = 0;
    UdpDatagram held_;   // a super-packet being handed out
    size_t heldAt_ = 0;  // where its next datagram starts; held_.payload.size() when done
    std::map<FragmentKey, Reassembly> fragments_;
    std::list<FragmentKey> fragmentOrder_;  // oldest first, to bound what waits for reassembly
    UnreassembledFragments givenUp_;        // reassemblies dropped to make room
};

}  // namespace bcst
