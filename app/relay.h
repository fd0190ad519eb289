// One datagram's road through the bridge: received, classified, applied to the store or converted
// into an output batch, sent unless the role withholds it, counted and timed. The lower layers each do
// one thing and report back; every event is counted here, once.
#pragma once

#include <cstdint>

#include "feed/frame.h"
#include "mbp/framing.h"

// The segment every output datagram is framed for, chosen once at start-up from MARKET_SEGMENT.
void ChooseOutputSegment(const char* marketSegment);
const SegmentChoice& OutputSegment();

// The conversion alone, as the relay step does it, for tools that replay input: classifies the
// datagram of `length` bytes at `frame` (not null), decoding into `decoded` (kDecompressBufferSize
// bytes); an accepted store frame is applied to the store; an accepted market-by-price frame is
// converted into `out`, framed for `segment`. Counts, logs and sends nothing; `out` is empty for
// anything but an accepted market-by-price frame.
FrameClass ConvertNewMktData(const char* frame, int length, const SegmentChoice& segment, char* decoded,
                             OutputBatch* out);

// Sends `count` output datagrams lying back to back from `data`, unless the role withholds them;
// counts what left and what failed. Returns how many left.
int SendOutputDatagrams(const char* data, int count);

// Relay mode: receives one datagram into the loop's buffer, handles it and sends what it became.
// Pass-through mode: receives what is queued (at least one datagram) and forwards it, each datagram
// as exactly 512 bytes. Runs the tick first when it fell due during the receive's wait. Returns the
// receive result (the (first) datagram's length, cut to 512 in pass-through mode; kReceiveNothing
// when nothing came within the receive's wait; or -1).
int RelayOneDatagram();

// The loop, once both sockets are up: RelayOneDatagram, then the tick when it is due, forever.
[[noreturn]] void RunRelayLoop();

// ---- the design's entry points, each a thin wrapper over the relay step -----------------------------

// The datagram of `length` bytes at `frame` handled as the relay step handles a received one (its
// receive time taken as now); nothing past its end is read. A frame whose header or payload reaches
// past the end is refused like a payload length out of range. An empty datagram holds no frame and is
// ignored. 0 when handled or ignored; 1 for a null frame, a refused length or a payload that fails
// to decode.
int ProcessNewMktData(char* frame, int length);
// A frame lying at the start of a whole kReceiveBufferSize-byte buffer, zero after the datagram: the
// datagram's length is taken to be the buffer's.
int ProcessNewMktData(char* frame);

// Converts `count` consecutive 140-byte records two at a time in the chosen segment's layout and
// sends one datagram per pair. 1 for null `data`, else 0.
int ProcessMBPData(char* data, int count);
// The same in one layout, whatever the segment; framed for the chosen segment.
int PrepareAndSendOldMBPPacketCM(char* data, int count);
int PrepareAndSendOldMBPPacketFO(char* data, int count);

// Frames a converted message for the chosen segment (kFrameAreaSize bytes at `frame`).
int AddBcastHeaderData(const char* message, char* frame);
