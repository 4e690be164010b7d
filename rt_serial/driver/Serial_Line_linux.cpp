#include "rt_serial/driver/Serial_Line.hpp"

#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "rt_serial/driver/Port_Path.hpp"
#include "utility/Logger.hpp"

// The kernel's termios2, which carries the baud rate as a number (any rate, not only the
// B-constants of <termios.h>). Its header <asm/termbits.h> clashes with glibc's
// <termios.h>, which Asio includes, so the layout of the generic kernel ABI (x86-64,
// arm64, riscv) is repeated here and the two requests are built from it.
struct termios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
static_assert(sizeof(termios2) == 44, "the kernel's termios2 is 44 bytes on this architecture");

namespace Quorin_Core::RT_Serial::Driver {

namespace {

/// c_cflag value that makes the kernel take the rate from c_ispeed/c_ospeed.
constexpr tcflag_t rate_in_speed_fields = 0010000;

boost::system::error_code last_error() {
    return {errno, boost::system::system_category()};
}

[[noreturn]] void throw_last_error(const char* what) {
    throw boost::system::system_error(last_error(), what);
}

termios2 read_settings(Serial_Line::Handle line) {
    termios2 settings{};
    if (::ioctl(line, TCGETS2, &settings) != 0) throw_last_error("read line settings");
    return settings;
}

/// No translation of any byte, no signals, no echo, no flow control; 8 data bits, no
/// parity, one stop bit. A byte with a framing error reads as 0 rather than vanishing,
/// so that a damaged frame keeps its length and fails its CRC.
void make_raw(termios2& settings, unsigned baud) {
    settings.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR |
                          ICRNL | IXON | IXOFF | IXANY | IMAXBEL | IUCLC);
    settings.c_oflag &= ~OPOST;
    settings.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | TOSTOP);
    settings.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CBAUD | CIBAUD);
    settings.c_cflag |= CS8 | CREAD | CLOCAL | rate_in_speed_fields;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    settings.c_ispeed = baud;
    settings.c_ospeed = baud;
}

/// USB serial adapters otherwise hold received bytes back for up to 16 ms.
void request_low_latency(Serial_Line::Handle line, const std::string& name) {
    serial_struct serial{};
    if (::ioctl(line, TIOCGSERIAL, &serial) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        if (::ioctl(line, TIOCSSERIAL, &serial) == 0) return;
    }
    QUORIN_LOG(DEBUG, "Low-latency mode not available on serial port [", name, "]: ",
               last_error().message());
}

}  // namespace

void Serial_Line::open(boost::asio::serial_port& port, const std::string& name,
                       boost::system::error_code& ec) {
    const int line = ::open(port_path(name).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line < 0) {
        ec = last_error();
        return;
    }
    // The lock keeps out every process that asks for it, root included; TIOCEXCL also
    // keeps out those that do not ask, unless they run as root.
    if (::flock(line, LOCK_EX | LOCK_NB) != 0) {
        ec = errno == EWOULDBLOCK ? make_error_code(boost::system::errc::device_or_resource_busy)
                                  : last_error();
        ::close(line);
        return;
    }
    ::ioctl(line, TIOCEXCL);
    port.assign(line, ec);
    if (ec) ::close(line);
}

void Serial_Line::configure(Handle line, unsigned baud, const std::string& name) {
    if (baud == 0) {
        // A rate of 0 means "hang up" to the kernel.
        throw boost::system::system_error(make_error_code(boost::system::errc::invalid_argument),
                                          "baud rate 0");
    }
    termios2 settings = read_settings(line);
    make_raw(settings, baud);
    if (::ioctl(line, TCSETS2, &settings) != 0) throw_last_error("set line settings");
    request_low_latency(line, name);
    ::tcflush(line, TCIFLUSH);
}

unsigned Serial_Line::baudrate(Handle line) {
    return read_settings(line).c_ospeed;
}

void Serial_Line::close(boost::asio::serial_port& port, boost::system::error_code& ec) {
    ::ioctl(port.native_handle(), TIOCNXCL);
    port.close(ec);
}

std::size_t Serial_Line::read_available(Handle line, std::uint8_t* buffer, std::size_t capacity,
                                        boost::system::error_code& ec) {
    ec.clear();
    // Asking first keeps the read from blocking whatever mode the descriptor is in.
    int waiting = 0;
    if (::ioctl(line, FIONREAD, &waiting) != 0) {
        ec.assign(errno, boost::system::system_category());
        return 0;
    }
    if (waiting <= 0 || capacity == 0) return 0;
    const ssize_t got = ::read(line, buffer, std::min(capacity, static_cast<std::size_t>(waiting)));
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EAGAIN && errno != EWOULDBLOCK) ec.assign(errno, boost::system::system_category());
    return 0;
}

}  // namespace Quorin_Core::RT_Serial::Driver
