#pragma once

#include "support/Free_Port.hpp"

namespace Quorin_Test {

/// A UDP socket on 127.0.0.1, bound to a port of its own, playing a PDO or SDO client.
class Udp_Client {
public:
    using Bytes = std::vector<std::uint8_t>;

    /// Binds 127.0.0.1 on `port`, or on a port the system picks when 0; throws on failure.
    explicit Udp_Client(std::uint16_t port = 0) : fd(bound_socket(SOCK_DGRAM, port)), bound_port(bound_port_of(fd)) {
        if (bound_port == 0) throw std::runtime_error("cannot bind a UDP client on 127.0.0.1:" + std::to_string(port));
    }
    /// Sends one datagram to 127.0.0.1:`port`; false if it could not be sent.
    bool send_to(std::uint16_t port, const Bytes& datagram) {
        const sockaddr_in to = ipv4(port);
        return ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
               static_cast<ssize_t>(datagram.size());
    }
    /// The next datagram that arrives within `timeout`, or nothing.
    std::optional<Bytes> receive(std::chrono::milliseconds timeout = 5s) {
        pollfd ready{fd, POLLIN, 0};
        Bytes datagram(65536);
        const ssize_t got = ::poll(&ready, 1, static_cast<int>(timeout.count())) > 0
                                ? ::recv(fd, datagram.data(), datagram.size(), 0) : -1;
        if (got < 0) return std::nullopt;
        return datagram.resize(static_cast<std::size_t>(got)), datagram;
    }
    /// Receives until a datagram equal to `expected` comes, skipping others (echoes of earlier
    /// data); false when `timeout` passes first.
    bool wait_for(const Bytes& expected, std::chrono::milliseconds timeout = 10s) {
        for (const auto end = std::chrono::steady_clock::now() + timeout; ms_left(end) > 0;)
            if (receive(std::chrono::milliseconds(ms_left(end))) == expected) return true;
        return false;
    }
    /// Throws away every datagram waiting.
    void drain() { while (receive(0ms)) continue; }
    std::uint16_t port() const { return bound_port; }
    /// "127.0.0.1 <port>", as the pdo and sdo commands take the client.
    std::string endpoint_args() const { return "127.0.0.1 " + std::to_string(bound_port); }

    /// An SDO request of `size` bytes (at least 6): header byte `header`, a sequence number in
    /// bytes 1 to 3, EPID byte `epid` at 4 and a fill from byte 5 on.
    static Bytes sdo_request(std::uint32_t sequence, std::size_t size = 6, std::uint8_t header = 0x61,
                             std::uint8_t epid = 0xEE) {
        Bytes datagram{header};
        for (std::size_t i = 1; i < size; ++i)
            datagram.push_back(static_cast<std::uint8_t>(i < 4 ? sequence >> (8 * (i - 1)) : i == 4 ? epid : i));
        return datagram;
    }

private:
    Fd fd;
    std::uint16_t bound_port;
};

}  // namespace Quorin_Test
