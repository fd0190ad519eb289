// Test helpers shared by the unit and end-to-end tests.
#include "support/test_support.h"

#include <algorithm>
#include <csignal>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "app/log.h"
#include "app/relay.h"
#include "app/role.h"
#include "app/statistics.h"
#include "config/config.h"
#include "feed/store.h"
#include "net/multicast.h"
#include "tools/udp.h"

namespace bcsttest {

namespace {

namespace fs = std::filesystem;

// The tests, and every bridge they start, keep local time near noon, so that no run crosses midnight:
// a bridge that does logs its store's new day, an entry that tests comparing whole logs do not expect.
// Tests of midnight set TZ themselves; a TZ given from outside is kept.
[[maybe_unused]] const bool gNoonTimeZone = [] {
    const int hour = static_cast<int>(time(nullptr) / 3600 % 24);
    const int east = 12 - hour;  // hours east of UTC: -11 .. 12
    const std::string zone =
        std::string("NOON") + (east > 0 ? "-" : "+") + std::to_string(east > 0 ? east : -east);
    setenv("TZ", zone.c_str(), 0);
    tzset();
    return true;
}();

std::chrono::steady_clock::time_point Deadline(std::chrono::milliseconds timeout) {
    return std::chrono::steady_clock::now() + timeout;
}

int MillisLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

TempDir::TempDir() {
    char pattern[] = "/tmp/bcsttest-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

ScopedWorkingDir::ScopedWorkingDir() : previous_(fs::current_path()) {
    fs::current_path(dir_.path());
}

ScopedWorkingDir::~ScopedWorkingDir() {
    std::error_code ignored;
    fs::current_path(previous_, ignored);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool FileExists(const std::string& path) {
    std::error_code ignored;
    return fs::exists(path, ignored);
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool WriteFileAt(const std::string& path, size_t offset, const std::string& bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    const bool written = fd >= 0 && pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) ==
                                        static_cast<ssize_t>(bytes.size());
    if (fd >= 0) {
        close(fd);
    }
    return written;
}

ScopedEnvironment::ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
    if (const char* before = getenv(name)) {
        had_ = true;
        saved_ = before;
    }
    if (!value.empty()) {
        setenv(name, value.c_str(), 1);
    }
}

ScopedEnvironment::~ScopedEnvironment() {
    if (had_) {
        setenv(name_.c_str(), saved_.c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

std::vector<std::string> ListDir(const std::string& path) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const fs::directory_entry& entry : fs::directory_iterator(path, ignored)) {
        names.push_back(entry.path().filename());
    }
    return names;
}

std::vector<std::string> LogMessages(const std::string& logText) {
    std::vector<std::string> messages;
    size_t at = 0;
    while (at < logText.size() && logText[at] == '\n') {
        const size_t next = logText.find('\n', at + 1);
        const std::string entry =
            logText.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
        const size_t dash = entry.find(" - ");
        messages.push_back(dash == std::string::npos ? entry : entry.substr(dash + 3));
        if (next == std::string::npos) {
            break;
        }
        at = next;
    }
    return messages;
}

std::vector<std::string> LogFiles(const std::string& dir) {
    std::vector<std::pair<fs::file_time_type, std::string>> found;
    for (const std::string& name : ListDir(dir)) {
        if (name.rfind("BcstBridge", 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".log") {
            std::error_code error;
            const fs::file_time_type written = fs::last_write_time(dir + "/" + name, error);
            found.emplace_back(error ? fs::file_time_type() : written, dir + "/" + name);
        }
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> files;
    for (const auto& file : found) {
        files.push_back(file.second);
    }
    return files;
}

std::string FindLogFile(const std::string& dir) {
    const std::vector<std::string> files = LogFiles(dir);
    return files.empty() ? "" : files.back();
}

uint16_t FreeUdpPort() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

uint16_t ConfiguredSendPortFor(uint16_t wirePort) {
    return static_cast<uint16_t>((wirePort >> 8) | (wirePort << 8));
}

MulticastReceiver::MulticastReceiver(const std::string& group, uint16_t port) {
    std::string error;
    fd_ = bcst::OpenMulticastReceiver(group, port, "127.0.0.1", &error, 4 << 20);
    if (fd_ < 0) {
        throw std::runtime_error("receiver: " + error);
    }
    const int one = 1;
    setsockopt(fd_, IPPROTO_IP, IP_RECVTTL, &one, sizeof one);
}

MulticastReceiver::~MulticastReceiver() {
    close(fd_);
}

bool MulticastReceiver::Receive(Bytes* datagram, std::chrono::milliseconds timeout, uint16_t* fromPort,
                                int* ttl) {
    struct pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) {
        return false;
    }
    datagram->resize(65536);
    struct sockaddr_in from = {};
    struct iovec data = {datagram->data(), datagram->size()};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    struct msghdr message = {};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(fd_, &message, 0);
    if (n < 0) {
        return false;
    }
    datagram->resize(static_cast<size_t>(n));
    if (fromPort != nullptr) {
        *fromPort = ntohs(from.sin_port);
    }
    if (ttl != nullptr) {
        *ttl = -1;
        for (struct cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) {
                std::memcpy(ttl, CMSG_DATA(c), sizeof *ttl);
            }
        }
    }
    return true;
}

std::vector<Bytes> MulticastReceiver::Drain(std::chrono::milliseconds quiet) {
    std::vector<Bytes> all;
    Bytes one;
    while (Receive(&one, quiet)) {
        all.push_back(one);
    }
    return all;
}

std::vector<Bytes> MulticastReceiver::ReceiveCount(size_t count, std::chrono::milliseconds timeout) {
    std::vector<Bytes> all;
    const auto deadline = Deadline(timeout);
    Bytes one;
    while (all.size() < count && Receive(&one, std::chrono::milliseconds(MillisLeft(deadline)))) {
        all.push_back(one);
    }
    return all;
}

MulticastSender::MulticastSender(const std::string& group, uint16_t port) : port_(port) {
    std::string error;
    fd_ = bcst::OpenMulticastSender("127.0.0.1", 1, &error);
    if (fd_ < 0 || !bcst::ParseIpv4(group, &group_)) {
        throw std::runtime_error("sender: " + (fd_ < 0 ? error : group + " is not an IPv4 address"));
    }
}

MulticastSender::~MulticastSender() {
    close(fd_);
}

bool MulticastSender::Send(const void* data, size_t length) {
    return bcst::SendTo(fd_, group_, port_, static_cast<const uint8_t*>(data), length);
}

bool MulticastSender::Send(const Bytes& datagram) {
    return Send(datagram.data(), datagram.size());
}

ChildProcess::ChildProcess(const std::string& workDir, const std::vector<std::string>& argv,
                           const std::string& outputName) {
    if (!outputName.empty()) {
        outPath_ = workDir + "/" + outputName + ".out";
        errPath_ = workDir + "/" + outputName + ".err";
    }
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        const int devnull = open("/dev/null", O_RDWR);
        if (devnull < 0 || dup2(devnull, 0) < 0 || chdir(workDir.c_str()) != 0) {
            _exit(126);
        }
        if (!outPath_.empty()) {
            const int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
                _exit(126);
            }
        }
        execv(args[0], args.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
}

bool ChildProcess::Signal(int signalNumber) {
    return pid_ > 0 && !reaped_ && kill(pid_, signalNumber) == 0;
}

bool ChildProcess::Running() {
    if (reaped_) {
        return false;
    }
    if (waitpid(pid_, &status_, WNOHANG) == pid_) {
        reaped_ = true;
        return false;
    }
    return true;
}

int ChildProcess::WaitExit(std::chrono::milliseconds timeout, int* terminatingSignal) {
    const bool ended = WaitUntil([this] { return !Running(); }, timeout);
    if (!ended) {
        return -1;
    }
    if (WIFEXITED(status_)) {
        return WEXITSTATUS(status_);
    }
    if (terminatingSignal != nullptr) {
        *terminatingSignal = WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
    }
    return -2;
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
    int signalNumber = 0;
    const int status = WaitExit(timeout, &signalNumber);
    return status == -2 ? 128 + signalNumber : status;
}

std::string ChildProcess::Out() const {
    return outPath_.empty() ? "" : ReadFile(outPath_);
}

std::string ChildProcess::Err() const {
    return errPath_.empty() ? "" : ReadFile(errPath_);
}

char ProcessState(pid_t pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

NotifySocket::NotifySocket(const std::string& path, const char* watchdogUsec) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot bind the notify socket " + path);
    }
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    if (watchdogUsec != nullptr) {
        setenv("WATCHDOG_USEC", watchdogUsec, 1);
    }
}

NotifySocket::~NotifySocket() {
    Forget();
    close(fd_);
}

void NotifySocket::Forget() {
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
}

std::string NotifySocket::Next(std::chrono::milliseconds timeout) {
    char text[256] = {};
    return WaitUntil([&] { return recv(fd_, text, sizeof text - 1, MSG_DONTWAIT) > 0; }, timeout)
               ? std::string(text)
               : std::string();
}

void NotifySocket::Drain() {
    while (!Next(std::chrono::milliseconds(0)).empty()) {
    }
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = Deadline(timeout);
    for (;;) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string InstanceConfig::Line() const {
    return segment + "," + recvGroup + "," + std::to_string(recvPort) + "," + sendGroup + "," +
           std::to_string(sendPort) + "," + hostIp + "," + veltIp + "," + flag;
}

InstanceConfig LoopbackConfig(const std::string& recvGroup, const std::string& sendGroup) {
    InstanceConfig config;
    config.recvGroup = recvGroup;
    config.recvPort = FreeUdpPort();
    config.sendGroup = sendGroup;
    config.sendPort = ConfiguredSendPortFor(FreeUdpPort());
    return config;
}

BridgeUnderTest::BridgeUnderTest(const InstanceConfig& config, int instance, std::vector<std::string> options)
    : instance_(instance), options_(std::move(options)) {
    std::string ini = "SEGMENT,RECV_ADDR,RECV_PORT,SEND_ADDR,SEND_PORT,HOST_IP,VELT_IP,FLAG\n";
    for (int i = 1; i < instance; ++i) {
        ini += "\n";
    }
    ini += config.Line() + "\n";
    WriteFile(dir_.File("BCSTBRIDGE.INI"), ini);
    process_ = std::make_unique<ChildProcess>(dir_.path(), CommandLine());
}

std::vector<std::string> BridgeUnderTest::CommandLine() const {
    std::vector<std::string> line = {BCSTBRIDGE_EXE};
    line.insert(line.end(), options_.begin(), options_.end());
    line.push_back(std::to_string(instance_));
    return line;
}

bool BridgeUnderTest::WaitReady(std::chrono::milliseconds timeout) {
    return WaitUntil(
        [this] {
            const std::vector<std::string> entries = LogEntries();
            return !entries.empty() && entries.back() == "Sender Socket Initialized Successfully";
        },
        timeout);
}

bool BridgeUnderTest::KillAndRestart(std::chrono::milliseconds timeout) {
    const auto starts = [this] { return LogEntryCount("Sender Socket Initialized Successfully"); };
    const auto before = starts();
    process_->Signal(SIGKILL);
    if (process_->Wait(timeout) < 0) {
        return false;
    }
    process_ = std::make_unique<ChildProcess>(dir_.path(), CommandLine());
    return WaitUntil([&] { return starts() > before; }, timeout);
}

std::string BridgeUnderTest::Log() const {
    std::string log;
    for (const std::string& file : LogFiles(dir_.path())) {
        log += ReadFile(file);
    }
    return log;
}

std::vector<std::string> BridgeUnderTest::LogEntries() const {
    return LogMessages(Log());
}

int64_t BridgeUnderTest::LogEntryCount(const std::string& entry) const {
    const std::vector<std::string> entries = LogEntries();
    return std::count(entries.begin(), entries.end(), entry);
}

std::string BridgeUnderTest::Statistics() const {
    return ReadFile(dir_.File("UDP_STATISTICS.txt"));
}

void RemoveLogFiles(const std::string& dir) {
    for (const std::string& file : LogFiles(dir)) {
        unlink(file.c_str());
    }
}

LoopbackOutput::LoopbackOutput(const char* group) {
    snprintf(gsBcastParam.SEND_MULTICAST_ADDR, sizeof gsBcastParam.SEND_MULTICAST_ADDR, "%s", group);
    snprintf(gsBcastParam.LOCAL_IP_TO_VELT, sizeof gsBcastParam.LOCAL_IP_TO_VELT, "127.0.0.1");
    wirePort_ = FreeUdpPort();
    gsBcastParam.SEND_MULTICAST_PORT = static_cast<int16_t>(ConfiguredSendPortFor(wirePort_));
    receiver_ = std::make_unique<MulticastReceiver>(group, wirePort_);
    ready_ = InitializeSendSocket() == 0;
    memset(gcaLogMessage, 0, sizeof gcaLogMessage);
}

LoopbackOutput::~LoopbackOutput() {
    if (gSenderSocketFD >= 0) {
        close(gSenderSocketFD);
        gSenderSocketFD = -1;
    }
}

void ResetBridgeState(const char* segment) {
    memset(&gsBcastParam, 0, sizeof gsBcastParam);
    snprintf(gsBcastParam.MARKET_SEGMENT, sizeof gsBcastParam.MARKET_SEGMENT, "%s", segment);
    gsBcastParam.NEW_MKT_DATA_FLAG = 1;
    ResetInstrumentStore();
    glReceivedPktCount = 0;
    glSentPktCount = 0;
    memset(gcaLogMessage, 0, sizeof gcaLogMessage);
    ForgetLogRepeats();
    gshRunningInstanceNo = 1;
    ChooseOutputSegment(segment);
    ResetRole();
}

void PutLe16(Bytes& b, size_t at, uint16_t v) {
    b.at(at) = static_cast<uint8_t>(v);
    b.at(at + 1) = static_cast<uint8_t>(v >> 8);
}

void PutLe32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
    }
}

void PutLe64(Bytes& b, size_t at, uint64_t v) {
    for (size_t i = 0; i < 8; ++i) {
        b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
    }
}

void PutBe16(Bytes& b, size_t at, uint16_t v) {
    b.at(at) = static_cast<uint8_t>(v >> 8);
    b.at(at + 1) = static_cast<uint8_t>(v);
}

void PutBe32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b.at(at + i) = static_cast<uint8_t>(v >> (24 - 8 * i));
    }
}

void PutBe64(Bytes& b, size_t at, uint64_t v) {
    for (size_t i = 0; i < 8; ++i) {
        b.at(at + i) = static_cast<uint8_t>(v >> (56 - 8 * i));
    }
}

uint16_t GetBe16(const Bytes& b, size_t at) {
    return static_cast<uint16_t>(b.at(at) << 8 | b.at(at + 1));
}

uint32_t GetBe32(const Bytes& b, size_t at) {
    return static_cast<uint32_t>(b.at(at)) << 24 | static_cast<uint32_t>(b.at(at + 1)) << 16 |
           static_cast<uint32_t>(b.at(at + 2)) << 8 | b.at(at + 3);
}

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

int64_t Le64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = v << 8 | p[i];
    }
    return static_cast<int64_t>(v);
}

uint16_t Be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t Be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

std::string HexDump(const Bytes& bytes) {
    std::string out;
    char cell[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(cell, sizeof cell, "%02x%c", bytes[i], (i % 16 == 15) ? '\n' : ' ');
        out += cell;
    }
    return out;
}

}  // namespace bcsttest
