// The instance lock: an abstract Unix socket named after the working directory and the instance.
#include "app/instance_lock.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

int gLockSocket = -1;  // listening, never accepting but to let go; closed only by the process's end

// "\0bcstbridge/<device>/<inode>/<instance>": the leading zero byte puts it in the abstract namespace.
socklen_t LockAddress(const struct stat& directory, int16_t instance, struct sockaddr_un* address) {
    memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    const int length = snprintf(address->sun_path + 1, sizeof address->sun_path - 1,
                                "bcstbridge/%llx/%llx/%u", static_cast<unsigned long long>(directory.st_dev),
                                static_cast<unsigned long long>(directory.st_ino),
                                static_cast<unsigned>(static_cast<uint16_t>(instance)));
    return static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + static_cast<size_t>(length));
}

// The pid of the process that holds the lock, or 0: a connection to its socket carries the listener's
// credentials, without the holder having to answer.
pid_t Holder(const struct sockaddr_un& address, socklen_t length) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 0;
    }
    pid_t pid = 0;
    struct ucred credentials = {};
    socklen_t size = sizeof credentials;
    if (connect(fd, reinterpret_cast<const struct sockaddr*>(&address), length) == 0 &&
        getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0) {
        pid = credentials.pid;
    }
    close(fd);
    return pid;
}

}  // namespace

int LockInstance(int16_t instance, std::string* refusal) {
    struct stat directory;
    if (stat(".", &directory) != 0) {
        *refusal = std::string("the working directory cannot be read (") + strerror(errno) + ")";
        return 1;
    }
    struct sockaddr_un address;
    const socklen_t length = LockAddress(directory, instance, &address);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *refusal = std::string("no socket for the instance lock (") + strerror(errno) + ")";
        return 1;
    }
    if (bind(fd, reinterpret_cast<const struct sockaddr*>(&address), length) != 0 || listen(fd, 8) != 0) {
        const int error = errno;
        close(fd);
        if (error != EADDRINUSE) {
            *refusal = std::string("the instance lock cannot be taken (") + strerror(error) + ")";
            return 1;
        }
        *refusal = "instance " + std::to_string(instance) + " of this directory is run by another bcstbridge";
        if (const pid_t pid = Holder(address, length); pid > 0) {
            *refusal += " (pid " + std::to_string(pid) + ")";
        }
        return 1;
    }
    gLockSocket = fd;
    return 0;
}

void InstanceLockTick() {
    if (gLockSocket < 0) {
        return;
    }
    // Non-blocking: at most a few, and none at all in the usual case (one system call).
    for (int i = 0; i < 8; ++i) {
        const int connection = accept4(gLockSocket, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            return;
        }
        close(connection);
    }
}
