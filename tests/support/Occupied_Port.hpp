#pragma once

#include <cstdint>
#include <memory>

namespace Quorin_Test {

/// A TCP port held in the listening state on all IPv4 interfaces, so that a server
/// asked to listen on it cannot. Released when the object goes.
class Occupied_Port {
public:
    /// Holds `port`; throws if it cannot be bound.
    explicit Occupied_Port(std::uint16_t port);
    ~Occupied_Port();
    Occupied_Port(const Occupied_Port&) = delete;
    Occupied_Port& operator=(const Occupied_Port&) = delete;

    /// Holds `port` if it can be bound; nothing if it is taken already.
    static std::unique_ptr<Occupied_Port> try_hold(std::uint16_t port);

    std::uint16_t port() const { return held_port; }

private:
    Occupied_Port(int fd, std::uint16_t port) : fd(fd), held_port(port) {}
    static int listen_on(std::uint16_t port);

    int fd = -1;
    std::uint16_t held_port = 0;
};

}  // namespace Quorin_Test
