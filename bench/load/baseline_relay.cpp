// baseline_relay: the floor the bridge is measured against. It receives exactly as the bridge does
// and, for every market-by-price frame, sends one 512-byte datagram per pair of records (21 for a
// 42-record frame) from the bridge's own sockets and send paths, but decodes and converts nothing. In
// pass-through mode it forwards every datagram it receives as 512 bytes.
//
//   baseline_relay --recv-group 239.40.x.y --recv-port P --send-group 239.40.x.z --send-port Q
//                  [--send sendto|mmsg|segmented] [--mode relay|passthrough] [--busy-poll]
//
// --send-port is the port on the wire. --send chooses the bridge's send path for a frame's datagrams:
// one sendto each (the default), one sendmmsg, or one sendmsg with UDP_SEGMENT; in pass-through mode the
// two batched variants also receive what is queued with one recvmmsg. --busy-poll receives without
// waiting (MSG_DONTWAIT), back to back, and never sleeps: one core at 100 %. A frame whose datagram
// carries a probe tag behind its payload (load_gen --probe) has the tag put where the bridge puts the
// frame's trade time, in every datagram it sends for the frame, so that load_sink can match outputs to
// inputs for either relay. Prints "ready" once both sockets are set up, then runs until it is killed.
// Their set-up log goes to the working directory.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/log.h"
#include "config/config.h"
#include "feed/frame.h"
#include "mbp/framing.h"
#include "net/multicast.h"

namespace {

constexpr int kBatch = 64;
// Where the bridge puts the first record's trade time in an output datagram (big-endian).
constexpr size_t kTradeTimeOffset = sizeof(BCAST_FRAME_HEAD) + offsetof(MS_BCAST_ONLY_MBP_CM, records) +
                                    offsetof(OLD_MBP_RECORD_CM, lastTradeTime);

enum class Send { kSendto, kMultiMessage, kSegmented };

char gReceiveBuffer[kReceiveBufferSize];
char gFrames[kBatch * kOutputFrameSize];
iovec gVectors[kBatch];
mmsghdr gMessages[kBatch];
volatile long gSent = 0;
int gReceiveFlags = 0;  // MSG_DONTWAIT when busy-polling

// The bridge's own batched send, on the path main chose: the datagrams built in gFrames.
void SendFrames(int count) {
    gSent = gSent + SendMulticastBatch(gFrames, count, kOutputFrameSize);
}

[[noreturn]] void Relay(int in) {
    for (;;) {
        const ssize_t received =
            recvfrom(in, gReceiveBuffer, sizeof gReceiveBuffer, gReceiveFlags, nullptr, nullptr);
        if (received < kFrameHeaderSize) {
            continue;
        }
        NEW_MKT_BCAST_DATA head;
        memcpy(&head, gReceiveBuffer, kFrameHeaderSize);
        if (head.messageType != kMessageTypeMbp || head.recordCount <= 0 || head.recordCount > 2 * kBatch) {
            continue;
        }
        const int datagrams = (head.recordCount + 1) / 2;
        const ssize_t tagAt = kFrameHeaderSize + head.compressedLength;
        if (head.compressedLength > 0 && tagAt + static_cast<ssize_t>(sizeof(uint32_t)) <= received) {
            const uint32_t tag = bcst::HostToWire(bcst::LoadLittleEndian<uint32_t>(gReceiveBuffer + tagAt));
            for (int i = 0; i < datagrams; ++i) {
                memcpy(gFrames + i * kOutputFrameSize + kTradeTimeOffset, &tag, sizeof tag);
            }
        }
        SendFrames(datagrams);
    }
}

[[noreturn]] void PassThrough(int in, Send how) {
    for (;;) {
        int count = 0;
        if (how == Send::kSendto) {
            const ssize_t n = recvfrom(in, gFrames, kOutputFrameSize, gReceiveFlags, nullptr, nullptr);
            if (n < 0) {
                continue;
            }
            memset(gFrames + n, 0, static_cast<size_t>(kOutputFrameSize - n));
            count = 1;
        } else {
            for (int i = 0; i < kBatch; ++i) {
                gVectors[i] = {gFrames + i * kOutputFrameSize, kOutputFrameSize};
                gMessages[i].msg_hdr = {};
                gMessages[i].msg_hdr.msg_iov = &gVectors[i];
                gMessages[i].msg_hdr.msg_iovlen = 1;
            }
            count =
                recvmmsg(in, gMessages, kBatch, gReceiveFlags != 0 ? gReceiveFlags : MSG_WAITFORONE, nullptr);
            if (count <= 0) {
                continue;
            }
            for (int i = 0; i < count; ++i) {
                const unsigned n =
                    gMessages[i].msg_len < kOutputFrameSize ? gMessages[i].msg_len : kOutputFrameSize;
                memset(gFrames + i * kOutputFrameSize + n, 0, kOutputFrameSize - n);
            }
        }
        SendFrames(count);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string recvGroup, sendGroup, send = "sendto", mode = "relay";
    int recvPort = 0;
    int sendPort = 0;
    bool usage = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--busy-poll") {
            gReceiveFlags = MSG_DONTWAIT;
            continue;
        }
        if (i + 1 >= argc) {
            usage = true;
            break;
        }
        if (arg == "--recv-group") {
            recvGroup = argv[i + 1];
        } else if (arg == "--recv-port") {
            recvPort = atoi(argv[i + 1]);
        } else if (arg == "--send-group") {
            sendGroup = argv[i + 1];
        } else if (arg == "--send-port") {
            sendPort = atoi(argv[i + 1]);
        } else if (arg == "--send") {
            send = argv[i + 1];
        } else if (arg == "--mode") {
            mode = argv[i + 1];
        } else {
            usage = true;
        }
        ++i;
    }
    const Send how = send == "mmsg"        ? Send::kMultiMessage
                     : send == "segmented" ? Send::kSegmented
                                           : Send::kSendto;
    if (usage || recvGroup.rfind("239.", 0) != 0 || sendGroup.rfind("239.", 0) != 0 || recvPort <= 0 ||
        sendPort <= 0 || (send != "sendto" && send != "mmsg" && send != "segmented") ||
        (mode != "relay" && mode != "passthrough")) {
        fprintf(stderr,
                "usage: %s --recv-group 239.x.y.z --recv-port P --send-group 239.x.y.z --send-port Q "
                "[--send sendto|mmsg|segmented] [--mode relay|passthrough] [--busy-poll]\n",
                argv[0]);
        return 2;
    }

    // The bridge's own sockets, set up by its own code for a loopback instance (their set-up log goes
    // to the working directory). The bridge puts its configured send port on the wire byte-exchanged.
    gshRunningInstanceNo = 1;
    snprintf(gsBcastParam.RECV_MULTICAST_ADDR, sizeof gsBcastParam.RECV_MULTICAST_ADDR, "%s",
             recvGroup.c_str());
    snprintf(gsBcastParam.SEND_MULTICAST_ADDR, sizeof gsBcastParam.SEND_MULTICAST_ADDR, "%s",
             sendGroup.c_str());
    snprintf(gsBcastParam.LOCAL_IP_TO_HOST, sizeof gsBcastParam.LOCAL_IP_TO_HOST, "127.0.0.1");
    snprintf(gsBcastParam.LOCAL_IP_TO_VELT, sizeof gsBcastParam.LOCAL_IP_TO_VELT, "127.0.0.1");
    gsBcastParam.RECV_MULTICAST_PORT = static_cast<int16_t>(recvPort);
    gsBcastParam.SEND_MULTICAST_PORT = static_cast<int16_t>(htons(static_cast<uint16_t>(sendPort)));
    if (InitializeRecvSocket() != 0 || InitializeSendSocket() != 0) {
        fprintf(stderr, "baseline_relay: %s\n", gcaLogMessage);
        return 1;
    }
    const int in = gReceiveSocketFD;
    SetSendPath(how == Send::kMultiMessage ? SendPath::kMultiMessage
                : how == Send::kSegmented  ? SendPath::kSegmented
                                           : SendPath::kPerDatagram);
    printf("ready\n");
    fflush(stdout);

    if (mode == "passthrough") {
        PassThrough(in, how);
    }
    Relay(in);
}
