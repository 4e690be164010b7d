#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace Quorin_Test {

using namespace std::chrono_literals;

/// A blocking TCP client on 127.0.0.1 for driving the control port.
class Tcp_Client {
public:
    /// Connects; throws on failure.
    explicit Tcp_Client(std::uint16_t port);
    ~Tcp_Client();
    Tcp_Client(const Tcp_Client&) = delete;
    Tcp_Client& operator=(const Tcp_Client&) = delete;

    /// Sends all of `data`; false if the connection is gone.
    bool send(const std::string& data);
    /// Receives until what arrived since the last call ends with `suffix`; what arrived.
    std::optional<std::string> receive_until(const std::string& suffix,
                                             std::chrono::milliseconds timeout = 10s);
    /// Receives exactly `count` bytes.
    std::optional<std::string> receive_exactly(std::size_t count,
                                               std::chrono::milliseconds timeout = 10s);
    /// Whatever arrives within `window`.
    std::string receive_for(std::chrono::milliseconds window);
    /// Sends `line` + "\n" and returns the reply, which ends with `reply_end`.
    std::optional<std::string> command(const std::string& line, const std::string& reply_end = "\r\n");
    /// True once the server has closed the connection (within `timeout`).
    bool wait_closed(std::chrono::milliseconds timeout = 10s);
    void close();
    /// The port of this client's end of the connection.
    std::uint16_t local_port() const;

private:
    /// One read of what is available within `timeout`; false on end of stream.
    bool receive_some(std::chrono::milliseconds timeout);
    /// Reads until `done` holds; false on time-out or end of stream.
    bool receive_until_done(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    int fd = -1;
    std::string pending;
    bool peer_closed = false;
};

}  // namespace Quorin_Test
