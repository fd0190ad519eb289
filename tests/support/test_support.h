// Test helpers: temporary working directories, loopback multicast endpoints, child processes, running
// the real bcstbridge, and byte writers for inputs and expected outputs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/feedenc.h"

namespace bcsttest {

using Bytes = std::vector<uint8_t>;

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Makes a temporary directory the working directory for the life of the object (log and statistics
// files are written relative to it).
class ScopedWorkingDir {
  public:
    ScopedWorkingDir();
    ~ScopedWorkingDir();
    const TempDir& dir() const { return dir_; }

  private:
    TempDir dir_;
    std::string previous_;
};

std::string ReadFile(const std::string& path);  // empty when missing
bool FileExists(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
// Overwrites bytes of an existing file in place (the same inode, no truncation).
bool WriteFileAt(const std::string& path, size_t offset, const std::string& bytes);
std::vector<std::string> ListDir(const std::string& path);

// Log entries of a log file's text: each entry starts with "\n", so the text splits at newlines
// after the first. Returns the message part of each entry (after "h:m:s - ").
std::vector<std::string> LogMessages(const std::string& logText);
// The BcstBridge*.log files in `dir`, the one written last at the end (a bridge past midnight has
// two), and that last one, or "" for none.
std::vector<std::string> LogFiles(const std::string& dir);
std::string FindLogFile(const std::string& dir);
void RemoveLogFiles(const std::string& dir);

// A UDP port that is free at the moment of the call (bound to 127.0.0.1 and released).
uint16_t FreeUdpPort();
// The configured SEND_MULTICAST_PORT whose byte-exchanged value is `wirePort`.
uint16_t ConfiguredSendPortFor(uint16_t wirePort);

// A socket joined to `group` on 127.0.0.1 and bound to `group`:`port`, set up as the tools' receivers.
class MulticastReceiver {
  public:
    MulticastReceiver(const std::string& group, uint16_t port);
    ~MulticastReceiver();
    // One datagram, or false after `timeout`. `fromPort` gets the sender's port (host order), `ttl`
    // the IP time-to-live it arrived with.
    bool Receive(Bytes* datagram, std::chrono::milliseconds timeout, uint16_t* fromPort = nullptr,
                 int* ttl = nullptr);
    // Every datagram until none arrives for `quiet`.
    std::vector<Bytes> Drain(std::chrono::milliseconds quiet);
    // Receives until `count` datagrams have arrived or `timeout` passed.
    std::vector<Bytes> ReceiveCount(size_t count, std::chrono::milliseconds timeout);

  private:
    int fd_ = -1;
};

// The bridge's own sending socket (InitializeSendSocket) on loopback multicast to `group`, and a
// receiver of what it sends: what the bridge sends, read off the wire. Closes the socket when done.
class LoopbackOutput {
  public:
    explicit LoopbackOutput(const char* group);
    ~LoopbackOutput();
    bool ready() const { return ready_; }
    uint16_t wirePort() const { return wirePort_; }
    MulticastReceiver& receiver() { return *receiver_; }
    // Everything sent since the last call. Loopback delivers within the send call; the short quiet
    // wait only catches a straggler.
    std::vector<Bytes> Take() { return receiver_->Drain(std::chrono::milliseconds(10)); }

  private:
    uint16_t wirePort_ = 0;
    std::unique_ptr<MulticastReceiver> receiver_;
    bool ready_ = false;
};

// Sends datagrams to `group`:`port` through 127.0.0.1 with a TTL of 1, set up as the tools' senders.
class MulticastSender {
  public:
    MulticastSender(const std::string& group, uint16_t port);
    ~MulticastSender();
    bool Send(const Bytes& datagram);
    bool Send(const void* data, size_t length);

  private:
    int fd_ = -1;
    uint16_t port_;
    uint32_t group_ = 0;  // network order
};

// A child process started in a directory, stdin from /dev/null; with an `outputName`, its stdout and
// stderr go to <workDir>/<outputName>.out and .err. Killed (by pid) on destruction if still running.
class ChildProcess {
  public:
    ChildProcess(const std::string& workDir, const std::vector<std::string>& argv,
                 const std::string& outputName = "");
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    pid_t pid() const { return pid_; }
    bool Signal(int signalNumber);
    // Exit status, or -1 if it has not ended within `timeout`; -2 when it ended by a signal
    // (then `*terminatingSignal` holds it).
    int WaitExit(std::chrono::milliseconds timeout, int* terminatingSignal = nullptr);
    // Exit status; -1 when still running after `timeout`; 128 + signal when killed by one.
    int Wait(std::chrono::milliseconds timeout);
    bool Running();
    std::string Out() const;  // what it wrote so far, with an `outputName`
    std::string Err() const;

  private:
    std::string outPath_, errPath_;
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
};

// Sets an environment variable for the processes started while it lives ("" leaves it unset), and
// puts back what was there.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const std::string& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    std::string name_, saved_;
    bool had_ = false;
};

// The state letter of /proc/<pid>/stat ('T' once a process is stopped); '?' when it cannot be read.
char ProcessState(pid_t pid);

// The service manager's end of sd_notify: a datagram socket bound to `path`. NOTIFY_SOCKET (and
// WATCHDOG_USEC, when given) name it for the processes started until Forget() or the object's end.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path, const char* watchdogUsec = nullptr);
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;
    void Forget();
    // The next notification, or "" when none comes within `timeout`.
    std::string Next(std::chrono::milliseconds timeout);
    void Drain();

  private:
    int fd_ = -1;
};

// Polls `condition` every few milliseconds until it holds or `timeout` passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// One configuration line with its eight fields.
struct InstanceConfig {
    std::string segment = "CM";
    std::string recvGroup = "239.1.1.1";
    uint16_t recvPort = 0;
    std::string sendGroup = "239.2.2.2";
    uint16_t sendPort = 0;  // as configured, not as on the wire
    std::string hostIp = "127.0.0.1";
    std::string veltIp = "127.0.0.1";
    std::string flag = "N";
    std::string Line() const;
};

// Loopback groups with free ports.
InstanceConfig LoopbackConfig(const std::string& recvGroup, const std::string& sendGroup);

// A bridge instance running in its own temporary directory, with BCSTBRIDGE.INI holding a header
// line and `config` as instance 1 (or the given instance's line).
class BridgeUnderTest {
  public:
    // `options` go on the command line before the instance number (e.g. "--busy-poll").
    explicit BridgeUnderTest(const InstanceConfig& config, int instance = 1,
                             std::vector<std::string> options = {});
    // Waits for the start-up log to end with "Sender Socket Initialized Successfully".
    bool WaitReady(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Kills the process with SIGKILL, starts the instance again in the same directory and waits for
    // the new start-up to finish.
    bool KillAndRestart(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::string Log() const;  // every day's file, oldest first
    std::vector<std::string> LogEntries() const;
    // How many of the log's entries are exactly `entry`.
    int64_t LogEntryCount(const std::string& entry) const;
    std::string Statistics() const;
    ChildProcess& process() { return *process_; }
    const TempDir& dir() const { return dir_; }

  private:
    std::vector<std::string> CommandLine() const;

    TempDir dir_;
    int instance_;
    std::vector<std::string> options_;
    std::unique_ptr<ChildProcess> process_;
};

// Puts the bridge's process-wide state back as a relay-mode instance 1 of `segment` starts: the
// configuration otherwise empty, an empty store, zero counters, an empty log buffer, sends to the
// socket (no capture), active (nothing withheld).
void ResetBridgeState(const char* segment = "CM");

// Feed frames come from the one encoder the tools and benchmarks use too.
using bcst::CompressBlock;
using bcst::MakeFrame;
using bcst::MakeFrameWithLength;

// Little-endian and big-endian writers and readers for building inputs and expected outputs in tests.
void PutLe16(Bytes& b, size_t at, uint16_t v);
void PutLe32(Bytes& b, size_t at, uint32_t v);
void PutLe64(Bytes& b, size_t at, uint64_t v);
void PutBe16(Bytes& b, size_t at, uint16_t v);
void PutBe32(Bytes& b, size_t at, uint32_t v);
void PutBe64(Bytes& b, size_t at, uint64_t v);
uint16_t GetBe16(const Bytes& b, size_t at);
uint32_t GetBe32(const Bytes& b, size_t at);
uint16_t Le16(const uint8_t* p);
uint32_t Le32(const uint8_t* p);
int64_t Le64(const uint8_t* p);
uint16_t Be16(const uint8_t* p);
uint32_t Be32(const uint8_t* p);

std::string HexDump(const Bytes& bytes);

}  // namespace bcsttest
