#include "rt_serial/driver/Serial_Line.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/serial_port_base.hpp>
#include <boost/system/system_error.hpp>

#include <windows.h>

#include <algorithm>

namespace Quorin_Core::RT_Serial::Driver {

namespace {

using Base = boost::asio::serial_port_base;

/// Bits per character on the line.
constexpr unsigned data_bits = 8;

/// What the library's serial port names in the exceptions of its option calls.
constexpr const char* set_option_call = "set_option";
constexpr const char* get_option_call = "get_option";

[[noreturn]] void throw_last_error(const char* call) {
    const boost::system::error_code error(static_cast<int>(::GetLastError()),
                                          boost::asio::error::get_system_category());
    throw boost::system::system_error(error, call);
}

DCB read_state(Serial_Line::Handle line, const char* call) {
    DCB state{};
    state.DCBlength = sizeof state;
    if (!::GetCommState(line, &state)) throw_last_error(call);
    return state;
}

/// One setting, the way the library's serial port applies it (and with its exception texts):
/// read the communication state, let the option change its fields, write the state back.
template <typename Option>
void apply(Serial_Line::Handle line, const Option& option) {
    DCB state = read_state(line, set_option_call);
    boost::system::error_code ec;
    option.store(state, ec);
    if (ec) throw boost::system::system_error(ec, set_option_call);
    if (!::SetCommState(line, &state)) throw_last_error(set_option_call);
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
    return read_state(line, get_option_call).BaudRate;
}

std::size_t Serial_Line::read_available(Handle line, std::uint8_t* buffer, std::size_t capacity,
                                        boost::system::error_code& ec) {
    ec.clear();
    const auto fail = [&ec] {
        ec.assign(static_cast<int>(::GetLastError()), boost::asio::error::get_system_category());
        return std::size_t{0};
    };
    COMSTAT status{};
    DWORD errors = 0;
    if (!::ClearCommError(line, &errors, &status)) return fail();
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(capacity, status.cbInQue));
    if (wanted == 0) return 0;
    // The handle is overlapped and tied to the io_context's completion port. The event's low
    // bit keeps this read's completion off that port; the bytes are queued already, so the
    // read completes at once.
    const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return fail();
    OVERLAPPED overlapped{};
    overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<DWORD_PTR>(event) | 1);
    DWORD got = 0;
    const bool done = ::ReadFile(line, buffer, wanted, &got, &overlapped) ||
                      (::GetLastError() == ERROR_IO_PENDING && ::GetOverlappedResult(line, &overlapped, &got, TRUE));
    if (!done) fail();
    ::CloseHandle(event);
    return done ? got : 0;
}

void Serial_Line::close(boost::asio::serial_port& port, boost::system::error_code& ec) {
    port.close(ec);
}

}  // namespace Quorin_Core::RT_Serial::Driver
