#pragma once

#include <string>

namespace Quorin_Test {

/// A serial line (or any file) held open with an exclusive advisory lock, as another
/// program that uses the line holds it. Released when the object goes.
class Locked_Line {
public:
    /// Opens `path` and locks it; throws std::runtime_error when either fails.
    explicit Locked_Line(const std::string& path);
    ~Locked_Line();
    Locked_Line(const Locked_Line&) = delete;
    Locked_Line& operator=(const Locked_Line&) = delete;

    /// Whether some process holds `path` exclusively: it cannot be opened for being busy, or
    /// it cannot be locked. False also when it does not exist.
    static bool held_by_someone(const std::string& path);

private:
    int fd = -1;
};

}  // namespace Quorin_Test
