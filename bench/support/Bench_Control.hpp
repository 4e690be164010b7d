#pragma once
// Shared by the benchmark programs that drive the real binary; POSIX only, like them.

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/Bench_Net.hpp"

namespace Quorin_Bench {

/// The control port, one command line at a time.
class Control {
public:
    explicit Control(std::uint16_t port) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        const sockaddr_in address = loopback(port);
        for (;;) {
            fd = ::socket(AF_INET, SOCK_STREAM, 0);
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return;
            ::close(fd);
            if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("no control port");
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~Control() { ::close(fd); }

    /// Sends `line` and returns the one-line reply; throws unless it begins with "OK".
    std::string command(const std::string& line) {
        const std::string reply = exchange(line, "\r\n");
        if (!reply.starts_with("OK")) throw std::runtime_error(line + " -> " + reply);
        return reply;
    }
    /// Sends `line` and reads until the reply ends with `end`.
    std::string exchange(const std::string& line, const std::string& end) {
        const std::string sent = line + "\n";
        ::send(fd, sent.data(), sent.size(), 0);
        std::string reply;
        char c = 0;
        while (!reply.ends_with(end) && ::recv(fd, &c, 1, 0) == 1) reply.push_back(c);
        return reply;
    }

private:
    int fd = -1;
};

}  // namespace Quorin_Bench
