#pragma once

#include <cstdint>
#include <string>

namespace Quorin_Tools::Devsim {

/// A pseudo-terminal in raw mode whose server side is published under a stable name, a
/// symbolic link such as /tmp/quorin-sim0 pointing at /dev/pts/N. The device side is the
/// master, opened non-blocking. The object also keeps the server side open itself, so that
/// the master never reports a hang-up while no server has the port open.
///
/// Closing (destruction) is what an unplug looks like to the server: its reads fail. The link
/// is removed then, if it still points at this pty.
class Pty_Link {
public:
    /// Opens and configures the pty and publishes it at `link_path`. `baud` is only recorded in
    /// the terminal settings (a pty moves bytes at its own speed); 0 leaves the default. Throws
    /// std::runtime_error with a message for the operator when the pty cannot be made or the
    /// link path is taken (see check_link_path).
    Pty_Link(const std::string& link_path, std::uint32_t baud);
    /// Closes both sides and removes the link.
    ~Pty_Link();
    Pty_Link(const Pty_Link&) = delete;
    Pty_Link& operator=(const Pty_Link&) = delete;

    /// The device side: read the server's frames, write answers. Non-blocking.
    int master_fd() const { return master; }
    /// The server side's device path, /dev/pts/N.
    const std::string& slave_path() const { return slave_name; }
    /// The published link.
    const std::string& link_path() const { return link; }

    /// Makes `link_path` free for publishing: nothing there is fine; a stale link left by an
    /// earlier simulator (a symbolic link to a /dev/pts entry that no longer exists) is
    /// removed; anything else throws std::runtime_error saying what is in the way.
    static void check_link_path(const std::string& link_path);

private:
    /// Opens the master and the server side and sets raw mode.
    void open_pty(std::uint32_t baud);
    /// Closes whatever is open.
    void close_fds();

    std::string link;
    std::string slave_name;
    int master = -1;
    int slave = -1;
};

}  // namespace Quorin_Tools::Devsim
