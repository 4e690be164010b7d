#include "support/Pty_Pair.hpp"

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace Quorin_Test {

namespace {

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

/// Waits until `fd` is ready for `events` or `deadline` passes; false on time-out.
bool wait_ready(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd ready{fd, events, 0};
    return ::poll(&ready, 1, static_cast<int>(left.count())) > 0;
}

}  // namespace

Pty_Pair::Pty_Pair() {
    device = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (device < 0) fail("posix_openpt");
    if (::grantpt(device) != 0 || ::unlockpt(device) != 0) fail("unlockpt");
    char name[128];
    if (::ptsname_r(device, name, sizeof name) != 0) fail("ptsname_r");
    path = name;
}

Pty_Pair::~Pty_Pair() { close_device(); }

void Pty_Pair::write(const Bytes& bytes) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(device, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN) {
            fail("write");
        } else if (!wait_ready(device, POLLOUT, deadline)) {
            throw std::runtime_error("device side: write timed out");
        }
    }
}

Bytes Pty_Pair::read(std::size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Bytes bytes(count);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(device, bytes.data() + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if ((n < 0 && errno != EAGAIN) || !wait_ready(device, POLLIN, deadline)) {
            break;
        }
    }
    bytes.resize(done);
    return bytes;
}

void Pty_Pair::close_device() {
    if (device >= 0) ::close(device);
    device = -1;
}

}  // namespace Quorin_Test
