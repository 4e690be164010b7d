#pragma once

#include "support/Free_Port.hpp"

namespace Quorin_Test {

/// A pseudo-terminal pair standing in for a serial line: the code under test opens
/// `port_path()`, and the test plays the device on the other side. A pty moves bytes far
/// faster than any baud rate and ignores the rate it is set to.
class Pty_Pair {
public:
    /// Opens a new pair; throws std::system_error on failure.
    Pty_Pair() : device(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
        char name[128];
        if (device < 0 || ::grantpt(device) != 0 || ::unlockpt(device) != 0 || ::ptsname_r(device, name, sizeof name) != 0)
            throw std::system_error(errno, std::generic_category(), "cannot open a pty");
        path = name;
    }

    /// The path of the port side, such as "/dev/pts/3".
    const std::string& port_path() const { return path; }
    /// Writes all of `bytes` from the device side.
    void write(const Bytes& bytes) {
        Bytes copy = bytes;
        if (transfer(copy.data(), copy.size(), 5s, POLLOUT) < copy.size()) throw std::runtime_error("device side: write failed");
    }
    /// Reads `count` bytes at the device side, or what came before `timeout` passed.
    Bytes read(std::size_t count, std::chrono::milliseconds timeout = 5s) {
        Bytes bytes(count);
        bytes.resize(transfer(bytes.data(), count, timeout, POLLIN));
        return bytes;
    }
    /// Closes the device side, as an unplugged device would; the port's next read fails.
    void close_device() { device.reset(); }

private:
    /// Reads into or writes from `data` until `count` are done, the device side fails or
    /// `timeout` passes; how many were done.
    std::size_t transfer(std::uint8_t* data, std::size_t count, std::chrono::milliseconds timeout, short events) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::size_t done = 0;
        while (done < count) {
            const ssize_t n = events == POLLIN ? ::read(device, data + done, count - done) : ::write(device, data + done, count - done);
            pollfd ready{device, events, 0};
            if (n > 0) done += static_cast<std::size_t>(n);
            else if ((n < 0 && errno != EAGAIN) || ms_left(deadline) == 0 || ::poll(&ready, 1, ms_left(deadline)) <= 0) break;
        }
        return done;
    }

    Fd device;
    std::string path;
};

}  // namespace Quorin_Test
