#pragma once

#include <boost/asio/serial_port.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

namespace Quorin_Core::RT_Serial::Driver {

/// The operating system's side of one serial port: claiming it for this process alone,
/// setting up the line and reading its rate back. `Serial_Port` reaches the system only
/// through these calls, so each platform keeps its own implementation file beside
/// the others (Serial_Line_linux.cpp, Serial_Line_windows.cpp).
///
/// Port names: on Linux a name is a device path ("/dev/ttyACM0", or a symbolic link to
/// a device); a name that does not begin with '/' is taken relative to "/dev/", so
/// "ttyUSB0" and "pts/3" work as well. On Windows a name is a COM port ("COM7"), opened
/// as "\\.\COM7"; a name that begins with a backslash is opened as it is.
///
/// Threading: stateless; the caller serialises calls on one port object.
class Serial_Line {
public:
    /// A native port handle (a file descriptor on Linux).
    using Handle = boost::asio::serial_port::native_handle_type;

    /// Opens `name` for reading and writing by this process alone and hands the handle to
    /// `port`. A port that another holder has open fails ("Device or resource busy" on
    /// Linux, "Access is denied" on Windows). On failure `ec` is set and `port` stays closed.
    static void open(boost::asio::serial_port& port, const std::string& name,
                     boost::system::error_code& ec);

    /// Makes the line raw 8N1 without flow control at `baud` bits per second (any rate the
    /// hardware takes, including ones above 115200). On Linux it also asks for low-latency
    /// delivery where the driver offers it and discards input received before the open.
    /// Throws boost::system::system_error.
    static void configure(Handle line, unsigned baud, const std::string& name);

    /// The line's baud rate as the operating system holds it. Throws boost::system::system_error.
    static unsigned baudrate(Handle line);

    /// Reads, without waiting, at most `capacity` of the bytes the line has received and
    /// nobody has read yet; returns how many it read (0 when none are there or on failure,
    /// which `ec` reports).
    static std::size_t read_available(Handle line, std::uint8_t* buffer, std::size_t capacity,
                                      boost::system::error_code& ec);
    /// Gives up the claims of `open` and closes `port`; `ec` reports a failure to close.
    static void close(boost::asio::serial_port& port, boost::system::error_code& ec);
};

}  // namespace Quorin_Core::RT_Serial::Driver
