#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Quorin_Test {

using namespace std::chrono_literals;

/// A blocking UDP socket on 127.0.0.1, bound to a port of its own, playing a PDO or SDO client.
class Udp_Client {
public:
    using Bytes = std::vector<std::uint8_t>;

    /// Binds 127.0.0.1 on `port`, or on a port the system picks when 0; throws on failure.
    explicit Udp_Client(std::uint16_t port = 0);
    ~Udp_Client();
    Udp_Client(const Udp_Client&) = delete;
    Udp_Client& operator=(const Udp_Client&) = delete;

    /// Sends one datagram to 127.0.0.1:`port`; false if it could not be sent.
    bool send_to(std::uint16_t port, const Bytes& datagram);
    /// The next datagram that arrives within `timeout`, or nothing.
    std::optional<Bytes> receive(std::chrono::milliseconds timeout = 5s);
    /// Every datagram that arrives within `window` (for showing that nothing comes).
    std::vector<Bytes> receive_for(std::chrono::milliseconds window);
    /// Receives until a datagram equal to `expected` comes, skipping others (echoes of earlier
    /// data); false when `timeout` passes first.
    bool wait_for(const Bytes& expected, std::chrono::milliseconds timeout = 10s);
    /// Throws away every datagram waiting.
    void drain();
    /// The port this socket is bound to.
    std::uint16_t port() const { return bound_port; }
    /// "127.0.0.1 <port>", as the pdo and sdo commands take the client.
    std::string endpoint_args() const { return "127.0.0.1 " + std::to_string(bound_port); }

    /// An SDO request of `size` bytes (at least 6): header byte `header`, EPID byte `epid`, a
    /// sequence number in bytes 1 to 3 and (for longer ones) a fill from byte 5 on.
    static Bytes sdo_request(std::uint32_t sequence, std::size_t size = 6, std::uint8_t header = 0x61,
                             std::uint8_t epid = 0xEE);
    /// The sequence number of a datagram built by `sdo_request`.
    static std::uint32_t sequence_of(const Bytes& datagram);

private:
    int fd = -1;
    std::uint16_t bound_port = 0;
};

}  // namespace Quorin_Test
