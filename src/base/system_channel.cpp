// The real system calls of the control channel and the other ways out: the
// channel's sockets, the datagram socket for the service manager and the
// watchdog device.
#include "base/system_real.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "base/system_ops.hpp"

namespace vorn::real {

namespace {

// The kernel's own numbers for the watchdog requests, and the record
// WDIOC_GETSUPPORT fills: the C libraries of small systems (musl) come
// without the kernel's watchdog header.
struct watchdog_info {
    std::uint32_t options;
    std::uint32_t firmware_version;
    std::array<std::uint8_t, 32> identity;
};
constexpr unsigned long watchdog_get_support = _IOR('W', 0, watchdog_info);
constexpr unsigned long watchdog_get_timeout = _IOR('W', 7, int);

// The Unix socket address of path; false (ENAMETOOLONG) when it does not fit.
bool socket_address(const char* path, sockaddr_un& address) {
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address.sun_path, path, std::strlen(path) + 1);
    return true;
}

}  // namespace

int listen_at(const char* path) {
    sockaddr_un address{};
    if (!socket_address(path, address)) return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // Made 0600, never for a moment more open: connecting takes write access.
    const mode_t mask = ::umask(0177);
    const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::umask(mask);
    if (bound != 0 || ::listen(fd, 8) != 0) return closed_on_error(fd);
    return fd;
}

int accept_client(int listen_fd, pid_t* pid, uid_t* uid) {
    int fd = -1;
    do {
        fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return closed_on_error(fd);
    *pid = peer.pid;
    *uid = peer.uid;
    return fd;
}

long read_some(int fd, char* buf, std::size_t len) {
    ssize_t n = -1;
    do {
        n = ::read(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

int connect_channel(const char* path, unsigned seconds, pid_t* pid, uid_t* uid) {
    sockaddr_un address{};
    if (!socket_address(path, address)) return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const timeval wait{static_cast<time_t>(seconds), 0};
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait) != 0 ||
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return closed_on_error(fd);
    *pid = peer.pid;
    *uid = peer.uid;
    return fd;
}

int send_all(int fd, const char* data, std::size_t len) {
    for (std::size_t done = 0; done < len;) {
        const ssize_t sent = ::send(fd, data + done, len - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0) return -1;
        done += static_cast<std::size_t>(sent);
    }
    return 0;
}

int open_datagram_socket() { return ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0); }

int send_datagram(int fd, const char* socket_name, const char* message, std::size_t len) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t name_length = std::strlen(socket_name);
    if (name_length == 0 || name_length > sizeof address.sun_path) {
        errno = EINVAL;
        return -1;
    }
    std::memcpy(address.sun_path, socket_name, name_length);
    // An abstract name has no terminator: its length is the address's.
    if (socket_name[0] == '@') address.sun_path[0] = '\0';
    const auto address_length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_length);
    for (;;) {
        const ssize_t sent = ::sendto(fd, message, len, MSG_DONTWAIT | MSG_NOSIGNAL,
                                      reinterpret_cast<const sockaddr*>(&address), address_length);
        if (sent >= 0) return 0;
        if (errno != EINTR) return -1;
    }
}

int open_device(const char* path, struct stat* info) {
    for (;;) {
        const int fd = ::open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && errno == EINTR) continue;
        if (fd < 0) return -1;
        return described(fd, info);
    }
}

int watchdog_timeout(int fd) {
    int seconds = 0;
    if (::ioctl(fd, watchdog_get_timeout, &seconds) != 0) return -1;
    return seconds;
}

int watchdog_support(int fd) {
    watchdog_info info{};
    return ::ioctl(fd, watchdog_get_support, &info) == 0 ? 0 : -1;
}

}  // namespace vorn::real
