#include "support/Udp_Client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace Quorin_Test {
namespace {

constexpr std::size_t max_datagram_bytes = 65536;
// Where an SDO request built by sdo_request keeps its parts.
constexpr std::size_t sequence_offset = 1;
constexpr std::size_t epid_offset = 4;
constexpr std::size_t fill_offset = 5;

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

Udp_Client::Udp_Client(std::uint16_t port) {
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(port);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0) ::close(fd);
        throw std::runtime_error("cannot bind a UDP client on 127.0.0.1:" + std::to_string(port));
    }
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    bound_port = ntohs(address.sin_port);
}

Udp_Client::~Udp_Client() { ::close(fd); }

bool Udp_Client::send_to(std::uint16_t port, const Bytes& datagram) {
    const sockaddr_in address = loopback(port);
    const ssize_t sent = ::sendto(fd, datagram.data(), datagram.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return sent == static_cast<ssize_t>(datagram.size());
}

std::optional<Udp_Client::Bytes> Udp_Client::receive(std::chrono::milliseconds timeout) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    Bytes datagram(max_datagram_bytes);
    const ssize_t got = ::recv(fd, datagram.data(), datagram.size(), 0);
    if (got < 0) return std::nullopt;
    datagram.resize(static_cast<std::size_t>(got));
    return datagram;
}

std::vector<Udp_Client::Bytes> Udp_Client::receive_for(std::chrono::milliseconds window) {
    std::vector<Bytes> datagrams;
    const auto deadline = std::chrono::steady_clock::now() + window;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return datagrams;
        if (auto datagram = receive(left)) datagrams.push_back(std::move(*datagram));
    }
}

bool Udp_Client::wait_for(const Bytes& expected, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline)
        if (receive(100ms) == expected) return true;
    return false;
}

Udp_Client::Bytes Udp_Client::sdo_request(std::uint32_t sequence, std::size_t size, std::uint8_t header,
                                          std::uint8_t epid) {
    Bytes datagram(size, 0);
    datagram[0] = header;
    for (std::size_t i = 0; i < 3 && sequence_offset + i < size; ++i)
        datagram[sequence_offset + i] = static_cast<std::uint8_t>(sequence >> (8 * i));
    if (size > epid_offset) datagram[epid_offset] = epid;
    for (std::size_t i = fill_offset; i < size; ++i) datagram[i] = static_cast<std::uint8_t>(i);
    return datagram;
}

std::uint32_t Udp_Client::sequence_of(const Bytes& datagram) {
    std::uint32_t sequence = 0;
    for (std::size_t i = 0; i < 3 && sequence_offset + i < datagram.size(); ++i)
        sequence |= static_cast<std::uint32_t>(datagram[sequence_offset + i]) << (8 * i);
    return sequence;
}

void Udp_Client::drain() {
    while (receive(0ms)) {
    }
}

}  // namespace Quorin_Test
