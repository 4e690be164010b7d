#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "support/Free_Port.hpp"

namespace Quorin_Test {

/// A serial line (or any file) held open with an exclusive advisory lock, as another program
/// that uses the line holds it. Released when the object goes.
class Locked_Line {
public:
    /// Opens `path` and locks it; throws std::runtime_error when either fails.
    explicit Locked_Line(const std::string& path) : fd(open_line(path)) {
        if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0)
            throw std::runtime_error("cannot open and lock " + path + ": " + std::strerror(errno));
    }

    /// Whether some process holds `path` exclusively: it cannot be opened for being busy (a
    /// terminal in exclusive mode), or it cannot be locked. False also when it does not exist.
    static bool held_by_someone(const std::string& path) {
        const Fd probe(open_line(path));  // closing it drops its own lock, if it got one
        if (probe < 0) return errno == EBUSY;
        return ::flock(probe, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    }

private:
    /// Opened without becoming the controlling terminal and without waiting for a carrier.
    static int open_line(const std::string& path) { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }

    Fd fd;
};

}  // namespace Quorin_Test
