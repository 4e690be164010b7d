#include "support/Free_Port.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <stdexcept>

namespace Quorin_Test {
namespace {

bool can_bind(int type, std::uint16_t port) {
    const int fd = ::socket(AF_INET, type, 0);
    if (fd < 0) return false;
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

bool is_free(std::uint16_t port) { return can_bind(SOCK_STREAM, port) && can_bind(SOCK_DGRAM, port); }

}  // namespace

std::uint16_t free_port() { return free_port_range(1); }

std::uint16_t free_port_range(unsigned count) {
    // Random starting points below the kernel's ephemeral range keep parallel tests apart.
    static thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<int> start(20000, 32000);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const auto first = static_cast<std::uint16_t>(start(random));
        bool all_free = true;
        for (unsigned i = 0; i < count && all_free; ++i) all_free = is_free(first + i);
        if (all_free) return first;
    }
    throw std::runtime_error("no free port range found");
}

}  // namespace Quorin_Test
