#pragma once

#include "support/Free_Port.hpp"

namespace Quorin_Test {

/// A TCP client for driving the control port, on 127.0.0.1 unless told otherwise.
class Tcp_Client {
public:
    /// Connects from `from` to `to`, both IPv4 loopback addresses; throws on failure.
    explicit Tcp_Client(std::uint16_t port, const char* to = "127.0.0.1", const char* from = "127.0.0.1")
        : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address = ipv4(0), source = ipv4(0);
        const int on = 1;
        address.sin_port = htons(port);
        if (::inet_pton(AF_INET, to, &address.sin_addr) != 1 || ::inet_pton(AF_INET, from, &source.sin_addr) != 1 ||
            ::bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0 ||
            ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("connect to " + std::string(to) + ":" + std::to_string(port) + " failed");
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    /// Sends all of `data`; false if the connection is gone.
    bool send(const std::string& data) {
        for (std::size_t sent = 0; sent < data.size();) {
            const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }
    /// Receives until what arrived since the last call ends with `suffix`; what arrived.
    std::optional<std::string> receive_until(const std::string& suffix, std::chrono::milliseconds timeout = 10s) {
        if (!receive_while([&] { return !pending.ends_with(suffix); }, timeout)) return std::nullopt;
        return std::exchange(pending, {});
    }
    /// Sends `line` + "\n" and returns the reply, which ends with `reply_end`.
    std::optional<std::string> command(const std::string& line, const std::string& reply_end = "\r\n") {
        return send(line + "\n") ? receive_until(reply_end) : std::nullopt;
    }
    /// True once the server has closed the connection (within `timeout`).
    bool wait_closed(std::chrono::milliseconds timeout = 10s) {
        receive_while([] { return true; }, timeout);
        return peer_closed;
    }
    void close() { fd.reset(); }
    /// The port of this client's end of the connection.
    std::uint16_t local_port() const { return bound_port_of(fd); }

private:
    /// Reads while `more` holds; false on time-out or end of stream.
    bool receive_while(const std::function<bool()>& more, std::chrono::milliseconds timeout) {
        for (const auto deadline = std::chrono::steady_clock::now() + timeout; more();) {
            pollfd ready{fd, POLLIN, 0};
            char buffer[8192];
            if (peer_closed || ms_left(deadline) == 0) return false;
            if (::poll(&ready, 1, ms_left(deadline)) <= 0) continue;
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) peer_closed = true;
            else pending.append(buffer, static_cast<std::size_t>(got));
        }
        return true;
    }

    Fd fd;
    std::string pending;
    bool peer_closed = false;
};

}  // namespace Quorin_Test
