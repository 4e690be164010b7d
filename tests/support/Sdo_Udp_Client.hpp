#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace Quorin_Test {

/// A blocking UDP client on 127.0.0.1 that talks to an SDO mailbox: it sends requests and
/// receives the answers addressed to it.
class Sdo_Udp_Client {
public:
    using Datagram = std::vector<std::uint8_t>;

    /// Binds 127.0.0.1 on a port the system chooses; throws on failure.
    Sdo_Udp_Client();
    ~Sdo_Udp_Client();
    Sdo_Udp_Client(const Sdo_Udp_Client&) = delete;
    Sdo_Udp_Client& operator=(const Sdo_Udp_Client&) = delete;

    /// The port this client sends from, to be linked with "sdo <name> -o 127.0.0.1 <port>".
    std::uint16_t port() const { return local_port; }
    /// Sends one datagram to 127.0.0.1:`mailbox_port`; false if the system refused it.
    bool send(std::uint16_t mailbox_port, const Datagram& datagram);
    /// The next datagram that arrives within `timeout`, or nothing.
    std::optional<Datagram> receive(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    /// Every datagram that arrives within `window` (for showing that nothing comes).
    std::vector<Datagram> receive_for(std::chrono::milliseconds window);

    /// A request of `size` bytes (at least 6): header byte `header`, EPID byte `epid`, and a
    /// sequence number in bytes 1 to 3 and (for longer ones) a fill from byte 5 on.
    static Datagram request(std::uint32_t sequence, std::size_t size = 6, std::uint8_t header = 0x61,
                            std::uint8_t epid = 0xEE);
    /// The sequence number of a datagram built by `request`.
    static std::uint32_t sequence_of(const Datagram& datagram);

private:
    int fd = -1;
    std::uint16_t local_port = 0;
};

}  // namespace Quorin_Test
