#include "support/Tcp_Client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace Quorin_Test {

Tcp_Client::Tcp_Client(std::uint16_t port) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        throw std::runtime_error("connect to control port failed");
    }
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

Tcp_Client::~Tcp_Client() { close(); }

void Tcp_Client::close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

std::uint16_t Tcp_Client::local_port() const {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
    return ntohs(address.sin_port);
}

bool Tcp_Client::send(const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool Tcp_Client::receive_some(std::chrono::milliseconds timeout) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(timeout.count())) <= 0) return true;
    char buffer[8192];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) {
        peer_closed = true;
        return false;
    }
    pending.append(buffer, static_cast<std::size_t>(got));
    return true;
}

bool Tcp_Client::receive_until_done(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || peer_closed || !receive_some(left)) return false;
    }
    return true;
}

std::optional<std::string> Tcp_Client::receive_until(const std::string& suffix,
                                                     std::chrono::milliseconds timeout) {
    if (!receive_until_done([&] { return pending.ends_with(suffix); }, timeout)) return std::nullopt;
    return std::exchange(pending, {});
}

std::optional<std::string> Tcp_Client::receive_exactly(std::size_t count,
                                                       std::chrono::milliseconds timeout) {
    if (!receive_until_done([&] { return pending.size() >= count; }, timeout)) return std::nullopt;
    std::string head = pending.substr(0, count);
    pending.erase(0, count);
    return head;
}

std::string Tcp_Client::receive_for(std::chrono::milliseconds window) {
    receive_until_done([] { return false; }, window);
    return std::exchange(pending, {});
}

std::optional<std::string> Tcp_Client::command(const std::string& line, const std::string& reply_end) {
    if (!send(line + "\n")) return std::nullopt;
    return receive_until(reply_end);
}

bool Tcp_Client::wait_closed(std::chrono::milliseconds timeout) {
    receive_until_done([&] { return peer_closed; }, timeout);
    return peer_closed;
}

}  // namespace Quorin_Test
