#include "rt_serial/driver/Serial_Line.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/serial_port_base.hpp>
#include <boost/system/system_error.hpp>

#include <windows.h>

namespace Quorin_Core::RT_Serial::Driver {

namespace {

using Base = boost::asio::serial_port_base;

/// Bits per character on the line.
constexpr unsigned data_bits = 8;

boost::system::error_code last_error() {
    return {static_cast<int>(::GetLastError()), boost::asio::error::get_system_category()};
}

[[noreturn]] void throw_last_error(const char* what) {
    throw boost::system::system_error(last_error(), what);
}

DCB read_state(Serial_Line::Handle line) {
    DCB state{};
    state.DCBlength = sizeof state;
    if (!::GetCommState(line, &state)) throw_last_error("GetCommState");
    return state;
}

/// One setting, the way the library's serial port applies it: read the communication
/// state, let the option change its fields, write the state back.
template <typename Option>
void apply(Serial_Line::Handle line, const Option& option) {
    DCB state = read_state(line);
    boost::system::error_code ec;
    option.store(state, ec);
    if (ec) throw boost::system::system_error(ec, "store serial port option");
    if (!::SetCommState(line, &state)) throw_last_error("SetCommState");
}

}  // namespace

// The library's own open: "\\.\" before the name unless it begins with a backslash, read
// and write access without sharing (a port that another holder has open fails with
// "Access is denied"), overlapped I/O, and its defaults: binary 8N1 at 9600 baud without
// flow control, and reads that return as soon as at least one byte is there.
void Serial_Line::open(boost::asio::serial_port& port, const std::string& name,
                       boost::system::error_code& ec) {
    port.open(name, ec);
}

void Serial_Line::configure(Handle line, unsigned baud, const std::string&) {
    apply(line, Base::baud_rate(baud));
    apply(line, Base::character_size(data_bits));
    apply(line, Base::parity(Base::parity::none));
    apply(line, Base::stop_bits(Base::stop_bits::one));
    apply(line, Base::flow_control(Base::flow_control::none));
}

unsigned Serial_Line::baudrate(Handle line) {
    return read_state(line).BaudRate;
}

void Serial_Line::close(boost::asio::serial_port& port, boost::system::error_code& ec) {
    port.close(ec);
}

}  // namespace Quorin_Core::RT_Serial::Driver
