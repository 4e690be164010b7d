#pragma once
// Shared by the benchmark programs that drive the real binary; POSIX only, like them.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <random>

namespace Quorin_Bench {

inline sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

inline bool can_bind(int type, std::uint16_t port) {
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in address = loopback(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

/// The first of `count` consecutive ports that are free now.
inline std::uint16_t free_ports(unsigned count) {
    std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<int> pick(20000, 32000);
    for (;;) {
        const auto first = static_cast<std::uint16_t>(pick(random));
        bool free = true;
        for (unsigned i = 0; i < count && free; ++i)
            free = can_bind(SOCK_STREAM, first + i) && can_bind(SOCK_DGRAM, first + i);
        if (free) return first;
    }
}

}  // namespace Quorin_Bench
