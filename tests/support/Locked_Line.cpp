#include "support/Locked_Line.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace Quorin_Test {
namespace {

/// Opened without becoming the controlling terminal and without waiting for a carrier.
int open_line(const std::string& path) {
    return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

}  // namespace

Locked_Line::Locked_Line(const std::string& path) : fd(open_line(path)) {
    if (fd < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        throw std::runtime_error("cannot lock " + path + ": " + std::strerror(error));
    }
}

Locked_Line::~Locked_Line() { ::close(fd); }

bool Locked_Line::held_by_someone(const std::string& path) {
    const int probe = open_line(path);
    if (probe < 0) return errno == EBUSY;  // a terminal in exclusive mode, for a process without privileges
    const bool locked = ::flock(probe, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(probe);  // drops the probe's own lock, if it got one
    return locked;
}

}  // namespace Quorin_Test
