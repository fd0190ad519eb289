// The counters file's descriptions of its counters and the names of its modes and send paths.
#include "app/counters_layout.h"

const CounterDescription kCounterDescriptions[kCounterCount] = {
    {"received", "datagrams_received_total", "",
     "Datagrams counted as received (accepted market-by-price frames in relay mode).", true},
    {"sent", "datagrams_sent_total", "", "Datagrams sent to the output group.", true},
    {"send_errors", "send_errors_total", "", "Sends that failed; those datagrams are lost.", true},
    {"receive_errors", "receive_errors_total", "", "Receive calls that failed.", true},
    {"frames_mbp", "frames_total", "type=\"mbp\"", "Feed frames accepted, by message type.", true},
    {"frames_ohl", "frames_total", "type=\"ohl\"", "Feed frames accepted, by message type.", true},
    {"frames_ticker", "frames_total", "type=\"ticker\"", "Feed frames accepted, by message type.", true},
    {"refused_unknown_type", "refused_frames_total", "reason=\"unknown_type\"",
     "Feed frames refused, by reason.", true},
    {"refused_zero_count", "refused_frames_total", "reason=\"zero_count\"", "Feed frames refused, by reason.",
     true},
    {"refused_bad_length", "refused_frames_total", "reason=\"bad_length\"", "Feed frames refused, by reason.",
     true},
    {"refused_decode_failure", "refused_frames_total", "reason=\"decode_failure\"",
     "Feed frames refused, by reason.", true},
    {"refused_wrong_record_size", "refused_frames_total", "reason=\"wrong_record_size\"",
     "Feed frames refused, by reason.", true},
    {"store_entries", "store_entries", "", "Instruments held in the store.", false},
    {"kernel_drops", "kernel_drops_total", "",
     "Datagrams dropped by the kernel because the receive buffer was full.", true},
    // Published as an age or a time stamp, and as seconds, by bcst-stat.
    {"last_accepted_ns", "", "", "When the last datagram was accepted (CLOCK_MONOTONIC, ns; 0 for never).",
     false, kCounterTypeTimestampNs},
    {"max_service_ns", "", "", "Longest handling of one datagram since the start (ns).", false,
     kCounterTypeDurationNs},
    {"heartbeat_ns", "", "", "When the relay loop last ticked (CLOCK_MONOTONIC, ns).", false,
     kCounterTypeTimestampNs},  // published as an age and a state by bcst-stat
    {"store_restored", "store_restored_entries", "", "Instruments read back from the store file at start-up.",
     false},
    {"store_memory_only", "store_memory_only_entries", "",
     "Instruments held in memory but not in the store file (a full disk or file).", false},
    {"log_held_back", "log_copies_held_back_total", "",
     "Log entries held back as repeats of one text; a summary entry stands for them.", true},
    {"log_lost", "log_entries_lost_total", "",
     "Log entries that could not be written to the log file nor to standard error.", true},
    // Published by bcst-stat as the role and as bcstbridge_active.
    {"standby", "", "", "1 while the instance is standby (its standby file exists) and sends nothing.",
     false},
    {"withheld", "datagrams_withheld_total", "", "Datagrams not sent because the instance was standby.",
     true},
    {"role_changes", "role_changes_total", "", "Changes between active and standby since the start.", true},
    {"role_changed_ns", "", "", "When the role last changed (CLOCK_MONOTONIC, ns; 0 for never).", false,
     kCounterTypeTimestampNs},
    {"log_to_stderr", "log_entries_to_stderr_total", "",
     "Log entries the log file could not take (not writable, a full disk), written to standard error.", true},
    {"store_repaired", "store_file_repairs_total", "",
     "Store file headers and entries found changed under the bridge and written back from memory.", true},
    {"max_wire_ns", "", "", "Longest from a datagram's kernel arrival stamp to the send of its output (ns).",
     false, kCounterTypeDurationNs},
};

const char* CountersModeName(uint8_t mode) {
    return mode == kCountersModeRelay ? "relay" : mode == kCountersModePassThrough ? "pass-through" : "?";
}

const char* CountersSendPathName(uint8_t path) {
    switch (path) {
        case kSendPathUdpSegmentation:
            return "segmented";
        case kSendPathSendmmsg:
            return "batched";
        case kSendPathSendto:
            return "per-datagram";
        default:
            return "unknown";
    }
}

std::string CountersFileName(int instance) {
    return "BcstBridge" + std::to_string(instance) + ".counters";
}
