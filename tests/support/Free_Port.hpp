#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>

#include "support/Test_Helpers.hpp"

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
        if (fd >= 0) ::close(fd);
        fd = next;
    }

private:
    int fd;
};

/// 127.0.0.1:`port`, or `port` on every IPv4 interface if `any`.
inline sockaddr_in ipv4(std::uint16_t port, bool any = false) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(any ? INADDR_ANY : INADDR_LOOPBACK);
    return address;
}

/// A socket of `type` bound to ipv4(port, any) (port 0: one the system picks); -1 if it cannot be bound.
inline int bound_socket(int type, std::uint16_t port, bool any = false, bool reuse = false) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (reuse) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in address = ipv4(port, any);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

/// The first of `count` consecutive ports that were free for TCP and UDP a moment ago. Tests
/// run in parallel, so each asks for its own; random starts below the ephemeral range keep them apart.
inline std::uint16_t free_port_range(unsigned count) {
    static thread_local std::mt19937 random{std::random_device{}()};
    const auto is_free = [](int port) {
        for (const int type : {SOCK_STREAM, SOCK_DGRAM}) {
            const int fd = bound_socket(type, static_cast<std::uint16_t>(port), true, true);
            if (fd < 0) return false;
            ::close(fd);
        }
        return true;
    };
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const int first = std::uniform_int_distribution(20000, 32000)(random);
        int next = first;
        while (next < first + static_cast<int>(count) && is_free(next)) ++next;
        if (next == first + static_cast<int>(count)) return static_cast<std::uint16_t>(first);
    }
    throw std::runtime_error("no free port range found");
}

inline std::uint16_t free_port() { return free_port_range(1); }

/// A TCP port held listening on every IPv4 interface, so that a server cannot listen on it.
class Occupied_Port {
public:
    /// Holds `port`, or a port the system picks if 0; throws if it cannot be bound.
    explicit Occupied_Port(std::uint16_t port) : fd(bound_socket(SOCK_STREAM, port, true, true)) {
        sockaddr_in address{};
        socklen_t size = sizeof address;
        if (fd < 0 || ::listen(fd, 1) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            throw std::runtime_error("cannot hold port " + std::to_string(port));
        held = ntohs(address.sin_port);
    }
    std::uint16_t port() const { return held; }

private:
    Fd fd;
    std::uint16_t held = 0;
};

}  // namespace Quorin_Test
