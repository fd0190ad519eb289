// Test helpers shared by the unit and end-to-end tests.
#include "support/test_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <lz4.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "app/log.h"
#include "app/statistics.h"
#include "config/config.h"
#include "feed/store.h"
#include "net/multicast.h"

namespace bcsttest {

namespace {

void RemoveTree(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir != nullptr) {
        while (struct dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..") {
                continue;
            }
            const std::string child = path + "/" + name;
            struct stat st;
            if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                RemoveTree(child);
            } else {
                unlink(child.c_str());
            }
        }
        closedir(dir);
    }
    rmdir(path.c_str());
}

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
    RemoveTree(path_);
}

ScopedWorkingDir::ScopedWorkingDir() {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) != nullptr) {
        previous_ = cwd;
    }
    if (chdir(dir_.path().c_str()) != 0) {
        throw std::runtime_error("chdir failed");
    }
}

ScopedWorkingDir::~ScopedWorkingDir() {
    if (!previous_.empty() && chdir(previous_.c_str()) != 0) {
        perror("chdir back");
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::vector<std::string> ListDir(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        return names;
    }
    while (struct dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    closedir(dir);
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

std::string FindLogFile(const std::string& dir) {
    for (const std::string& name : ListDir(dir)) {
        if (name.rfind("BcstBridge", 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".log") {
            return dir + "/" + name;
        }
    }
    return "";
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
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    const int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const int big = 4 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        throw std::runtime_error("receiver bind failed");
    }
    struct ip_mreq membership = {};
    membership.imr_multiaddr.s_addr = inet_addr(group.c_str());
    membership.imr_interface.s_addr = inet_addr("127.0.0.1");
    if (setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        throw std::runtime_error("receiver join failed");
    }
    const int zero = 0;
    setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero);
}

MulticastReceiver::~MulticastReceiver() {
    close(fd_);
}

bool MulticastReceiver::Receive(Bytes* datagram, std::chrono::milliseconds timeout, uint16_t* fromPort) {
    struct pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) {
        return false;
    }
    datagram->resize(65536);
    struct sockaddr_in from = {};
    socklen_t len = sizeof from;
    const ssize_t n =
        recvfrom(fd_, datagram->data(), datagram->size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) {
        return false;
    }
    datagram->resize(static_cast<size_t>(n));
    if (fromPort != nullptr) {
        *fromPort = ntohs(from.sin_port);
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

MulticastSender::MulticastSender(const std::string& group, uint16_t port) : port_(port), group_(group) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    struct in_addr loopback = {};
    loopback.s_addr = inet_addr("127.0.0.1");
    setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback);
    const int ttl = 1;
    setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    const int big = 4 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
}

MulticastSender::~MulticastSender() {
    close(fd_);
}

bool MulticastSender::Send(const void* data, size_t length) {
    struct sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port_);
    to.sin_addr.s_addr = inet_addr(group_.c_str());
    return sendto(fd_, data, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(length);
}

bool MulticastSender::Send(const Bytes& datagram) {
    return Send(datagram.data(), datagram.size());
}

ChildProcess::ChildProcess(const std::string& workDir, const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        if (chdir(workDir.c_str()) != 0) {
            _exit(127);
        }
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
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

BridgeUnderTest::BridgeUnderTest(const InstanceConfig& config, int instance) {
    std::string ini = "SEGMENT,RECV_ADDR,RECV_PORT,SEND_ADDR,SEND_PORT,HOST_IP,VELT_IP,FLAG\n";
    for (int i = 1; i < instance; ++i) {
        ini += "\n";
    }
    ini += config.Line() + "\n";
    WriteFile(dir_.File("BCSTBRIDGE.INI"), ini);
    process_ = std::make_unique<ChildProcess>(
        dir_.path(), std::vector<std::string>{BCSTBRIDGE_EXE, std::to_string(instance)});
}

bool BridgeUnderTest::WaitReady(std::chrono::milliseconds timeout) {
    return WaitUntil(
        [this] {
            const std::vector<std::string> entries = LogEntries();
            return !entries.empty() && entries.back() == "Sender Socket Initialized Successfully";
        },
        timeout);
}

std::string BridgeUnderTest::Log() const {
    const std::string file = FindLogFile(dir_.path());
    return file.empty() ? "" : ReadFile(file);
}

std::vector<std::string> BridgeUnderTest::LogEntries() const {
    return LogMessages(Log());
}

std::string BridgeUnderTest::Statistics() const {
    return ReadFile(dir_.File("UDP_STATISTICS.txt"));
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
    gSendCapture = nullptr;
}

Bytes CompressBlock(const Bytes& payload) {
    Bytes out(static_cast<size_t>(LZ4_compressBound(static_cast<int>(payload.size()))) + 1);
    const int n = LZ4_compress_default(reinterpret_cast<const char*>(payload.data()),
                                       reinterpret_cast<char*>(out.data()), static_cast<int>(payload.size()),
                                       static_cast<int>(out.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

Bytes MakeFrameWithLength(int16_t messageType, int16_t compressedLength, int16_t recordCount,
                          const Bytes& body) {
    Bytes frame(6);
    PutLe16(frame, 0, static_cast<uint16_t>(messageType));
    PutLe16(frame, 2, static_cast<uint16_t>(compressedLength));
    PutLe16(frame, 4, static_cast<uint16_t>(recordCount));
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

Bytes MakeFrame(int16_t messageType, int16_t recordCount, const Bytes& compressed) {
    return MakeFrameWithLength(messageType, static_cast<int16_t>(compressed.size()), recordCount, compressed);
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

void PutBe16(Bytes& b, size_t at, uint16_t v) {
    b.at(at) = static_cast<uint8_t>(v >> 8);
    b.at(at + 1) = static_cast<uint8_t>(v);
}

void PutBe32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b.at(at + i) = static_cast<uint8_t>(v >> (24 - 8 * i));
    }
}

uint16_t GetBe16(const Bytes& b, size_t at) {
    return static_cast<uint16_t>(b.at(at) << 8 | b.at(at + 1));
}

uint32_t GetBe32(const Bytes& b, size_t at) {
    return static_cast<uint32_t>(b.at(at)) << 24 | static_cast<uint32_t>(b.at(at + 1)) << 16 |
           static_cast<uint32_t>(b.at(at + 2)) << 8 | b.at(at + 3);
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
