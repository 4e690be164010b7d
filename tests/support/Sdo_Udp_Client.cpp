#include "support/Sdo_Udp_Client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace Quorin_Test {
namespace {

constexpr std::size_t receive_buffer_bytes = 2048;
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

Sdo_Udp_Client::Sdo_Udp_Client() {
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("udp socket failed");
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ::close(fd);
        throw std::runtime_error("udp bind failed");
    }
    local_port = ntohs(address.sin_port);
}

Sdo_Udp_Client::~Sdo_Udp_Client() { ::close(fd); }

bool Sdo_Udp_Client::send(std::uint16_t mailbox_port, const Datagram& datagram) {
    const sockaddr_in to = loopback(mailbox_port);
    const ssize_t sent = ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                                  sizeof to);
    return sent == static_cast<ssize_t>(datagram.size());
}

std::optional<Sdo_Udp_Client::Datagram> Sdo_Udp_Client::receive(std::chrono::milliseconds timeout) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    Datagram datagram(receive_buffer_bytes);
    const ssize_t got = ::recv(fd, datagram.data(), datagram.size(), 0);
    if (got < 0) return std::nullopt;
    datagram.resize(static_cast<std::size_t>(got));
    return datagram;
}

std::vector<Sdo_Udp_Client::Datagram> Sdo_Udp_Client::receive_for(std::chrono::milliseconds window) {
    const auto deadline = std::chrono::steady_clock::now() + window;
    std::vector<Datagram> got;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return got;
        if (auto datagram = receive(left)) got.push_back(std::move(*datagram));
    }
}

Sdo_Udp_Client::Datagram Sdo_Udp_Client::request(std::uint32_t sequence, std::size_t size, std::uint8_t header,
                                                 std::uint8_t epid) {
    Datagram datagram(size, 0);
    datagram[0] = header;
    for (std::size_t i = 0; i < 3 && sequence_offset + i < size; ++i)
        datagram[sequence_offset + i] = static_cast<std::uint8_t>(sequence >> (8 * i));
    if (size > epid_offset) datagram[epid_offset] = epid;
    for (std::size_t i = fill_offset; i < size; ++i) datagram[i] = static_cast<std::uint8_t>(i);
    return datagram;
}

std::uint32_t Sdo_Udp_Client::sequence_of(const Datagram& datagram) {
    std::uint32_t sequence = 0;
    for (std::size_t i = 0; i < 3 && sequence_offset + i < datagram.size(); ++i)
        sequence |= static_cast<std::uint32_t>(datagram[sequence_offset + i]) << (8 * i);
    return sequence;
}

}  // namespace Quorin_Test
