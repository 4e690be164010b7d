#pragma once

#include "support/Free_Port.hpp"

namespace Quorin_Test {

/// Serial lines as other programs hold them: open and under an exclusive advisory lock.
struct Locked_Line {
    /// Whether some process holds `path` exclusively: it cannot be opened for being busy (a
    /// terminal in exclusive mode), or it cannot be locked. False also when it does not exist.
    static bool held_by_someone(const std::string& path) {
        const Fd probe(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));  // closing drops its own lock
        return probe < 0 ? errno == EBUSY : ::flock(probe, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    }
};

}  // namespace Quorin_Test
