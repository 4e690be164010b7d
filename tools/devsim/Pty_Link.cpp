#include "tools/devsim/Pty_Link.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace Quorin_Tools::Devsim {

namespace {

/// Where Linux puts the server sides of pseudo-terminals.
constexpr const char* pts_directory = "/dev/pts/";
constexpr std::size_t path_capacity = 256;

std::runtime_error system_error(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

/// The termios speed constant for `baud`, or B0 when there is none of that rate.
speed_t speed_for(std::uint32_t baud) {
    static constexpr std::array<std::pair<std::uint32_t, speed_t>, 19> speeds{{
        {1200, B1200},       {9600, B9600},       {19200, B19200},     {38400, B38400},
        {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},
        {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
        {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
        {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
    }};
    for (const auto& [rate, speed] : speeds)
        if (rate == baud) return speed;
    return B0;
}

/// Raw mode: no echo, no line editing, no signals, no translation, 8 data bits.
void make_raw(int fd, std::uint32_t baud) {
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) throw system_error("tcgetattr on the pty");
    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (const speed_t speed = speed_for(baud); speed != B0) {
        ::cfsetispeed(&settings, speed);
        ::cfsetospeed(&settings, speed);
    }
    if (::tcsetattr(fd, TCSANOW, &settings) != 0) throw system_error("tcsetattr on the pty");
}

/// The target of the symbolic link at `path`, or empty when it is not one.
std::string link_target(const std::string& path) {
    std::array<char, path_capacity> target{};
    const ssize_t size = ::readlink(path.c_str(), target.data(), target.size() - 1);
    return size < 0 ? std::string() : std::string(target.data(), static_cast<std::size_t>(size));
}

}  // namespace

void Pty_Link::check_link_path(const std::string& link_path) {
    struct stat status {};
    if (::lstat(link_path.c_str(), &status) != 0) {
        if (errno == ENOENT) return;
        throw system_error("cannot look at " + link_path);
    }
    if (!S_ISLNK(status.st_mode)) throw std::runtime_error(link_path + " exists and is not a symbolic link");
    const std::string target = link_target(link_path);
    if (!target.starts_with(pts_directory))
        throw std::runtime_error(link_path + " exists and points to " + target + ", not to a pseudo-terminal");
    struct stat target_status {};
    if (::stat(target.c_str(), &target_status) == 0)
        throw std::runtime_error(link_path + " points to " + target +
                                 ", which is live: is another simulator serving it? If not, remove the link");
    if (::unlink(link_path.c_str()) != 0 && errno != ENOENT) throw system_error("cannot remove stale " + link_path);
}

Pty_Link::Pty_Link(const std::string& link_path, std::uint32_t baud) : link(link_path) {
    check_link_path(link_path);
    try {
        open_pty(baud);
        if (::symlink(slave_name.c_str(), link.c_str()) != 0) throw system_error("cannot create " + link);
    } catch (...) {
        close_fds();
        throw;
    }
}

Pty_Link::~Pty_Link() {
    if (link_target(link) == slave_name) ::unlink(link.c_str());
    close_fds();
}

void Pty_Link::open_pty(std::uint32_t baud) {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0) throw system_error("posix_openpt");
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0) throw system_error("unlocking the pty");
    std::array<char, path_capacity> name{};
    if (::ptsname_r(master, name.data(), name.size()) != 0) throw system_error("ptsname_r");
    slave_name = name.data();
    slave = ::open(slave_name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) throw system_error("opening " + slave_name);
    make_raw(slave, baud);
}

void Pty_Link::close_fds() {
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
    slave = master = -1;
}

}  // namespace Quorin_Tools::Devsim
