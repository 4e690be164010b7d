#pragma once

#include <chrono>
#include <string>

#include "support/Test_Helpers.hpp"

namespace Quorin_Test {

/// A pseudo-terminal pair standing in for a serial line: the code under test opens
/// `port_path()`, and the test plays the device on the other side. A pty moves bytes far
/// faster than any baud rate and ignores the rate it is set to.
class Pty_Pair {
public:
    /// Opens a new pair; throws std::system_error on failure.
    Pty_Pair();
    ~Pty_Pair();
    Pty_Pair(const Pty_Pair&) = delete;
    Pty_Pair& operator=(const Pty_Pair&) = delete;

    /// The path of the port side, such as "/dev/pts/3".
    const std::string& port_path() const { return path; }
    /// Writes all of `bytes` from the device side.
    void write(const Bytes& bytes);
    /// Reads `count` bytes at the device side, or what came before `timeout` passed.
    Bytes read(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    /// Closes the device side, as an unplugged device would; the port's next read fails.
    void close_device();

private:
    int device = -1;
    std::string path;
};

}  // namespace Quorin_Test
