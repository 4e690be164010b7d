#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "support/Test_Helpers.hpp"

namespace Quorin_Test {

/// A serial line (or any file) held open with an exclusive advisory lock, as another program
/// that uses the line holds it. Released when the object goes.
class Locked_Line {
public:
    /// Opens `path` and locks it; throws std::runtime_error when either fails.
    explicit Locked_Line(const std::string& path) : fd(open_line(path)) {
        if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) return;
        const std::string error = std::strerror(errno);
        if (fd >= 0) ::close(fd);
        throw std::runtime_error("cannot open and lock " + path + ": " + error);
    }
    ~Locked_Line() { ::close(fd); }
    Locked_Line(const Locked_Line&) = delete;
    Locked_Line& operator=(const Locked_Line&) = delete;

    /// Whether some process holds `path` exclusively: it cannot be opened for being busy (a
    /// terminal in exclusive mode), or it cannot be locked. False also when it does not exist.
    static bool held_by_someone(const std::string& path) {
        const int probe = open_line(path);
        if (probe < 0) return errno == EBUSY;
        const bool locked = ::flock(probe, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        ::close(probe);  // drops the probe's own lock, if it got one
        return locked;
    }

private:
    /// Opened without becoming the controlling terminal and without waiting for a carrier.
    static int open_line(const std::string& path) { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }

    int fd;
};

}  // namespace Quorin_Test
