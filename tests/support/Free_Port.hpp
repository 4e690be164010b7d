#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "support/Test_Helpers.hpp"

// The POSIX headers every POSIX-only support header needs.
namespace Quorin_Test {

/// A file descriptor, closed when it goes or is reset.
class Fd {
public:
    explicit Fd(int fd = -1) : fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    operator int() const { return fd; }
    void reset(int next = -1) {
        if (const int old = std::exchange(fd, next); old >= 0) ::close(old);
    }

private:
    int fd;
};

/// 127.0.0.1:`port`, or `port` on every IPv4 interface if `any`.
inline sockaddr_in ipv4(std::uint16_t port, bool any = false) {
    sockaddr_in address{.sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {}, .sin_zero = {}};
    address.sin_addr.s_addr = htonl(any ? INADDR_ANY : INADDR_LOOPBACK);
    return address;
}

/// A socket of `type` bound to ipv4(port, any) (port 0: the system picks); -1 if it cannot be bound.
inline int bound_socket(int type, std::uint16_t port, bool any = false, bool reuse = false) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0), on = 1;
    if (reuse) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in address = ipv4(port, any);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

/// The port `fd` is bound to; 0 if it is not.
inline std::uint16_t bound_port_of(int fd) {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    return fd >= 0 && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0 ? ntohs(address.sin_port) : 0;
}

/// The first of `count` consecutive ports that were free for TCP and UDP a moment ago. Tests
/// run in parallel, so each asks for its own; random starts below the ephemeral range keep them apart.
inline std::uint16_t free_port_range(unsigned count) {
    static thread_local std::mt19937 random{std::random_device{}()};
    const auto is_free = [](int port, int type) {
        return Fd(bound_socket(type, static_cast<std::uint16_t>(port), true, true)) >= 0;
    };
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const int first = std::uniform_int_distribution(20000, 32000)(random);
        int next = first;
        while (next < first + static_cast<int>(count) && is_free(next, SOCK_STREAM) && is_free(next, SOCK_DGRAM)) ++next;
        if (next == first + static_cast<int>(count)) return static_cast<std::uint16_t>(first);
    }
    throw std::runtime_error("no free port range found");
}

inline std::uint16_t free_port() { return free_port_range(1); }

/// A TCP port (the system picks one if 0) held listening on every IPv4 interface, so that a
/// server cannot listen on it; throws if it cannot be held.
class Occupied_Port {
public:
    explicit Occupied_Port(std::uint16_t port) : fd(bound_socket(SOCK_STREAM, port, true, true)), held(bound_port_of(fd)) {
        if (held == 0 || ::listen(fd, 1) != 0) throw std::runtime_error("cannot hold port " + std::to_string(port));
    }
    std::uint16_t port() const { return held; }

private:
    Fd fd;
    std::uint16_t held;
};

}  // namespace Quorin_Test
