#include "rt_serial/driver/Serial_Port.hpp"

#include <windows.h>

#include <gtest/gtest.h>

#include <boost/asio/error.hpp>

#include <stdexcept>

#include "support/Captured_Stdout.hpp"

namespace {

using Quorin_Core::RT_Serial::Driver::Serial_Port;
using Quorin_Test::Captured_Stdout;

/// The system's text for a Windows error code, as the library words it.
std::string system_message(DWORD code) {
    return boost::system::error_code(static_cast<int>(code), boost::asio::error::get_system_category()).message();
}

TEST(Serial_Line, a_port_that_cannot_be_opened_fails_with_the_system_message) {
    boost::asio::io_context io;
    for (const std::string name : {"COM250", "\\\\.\\COM250"}) {
        const Captured_Stdout out;
        try {
            Serial_Port::create(io, name, 115200);
            ADD_FAILURE() << name << " opened";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(error.what(), system_message(ERROR_FILE_NOT_FOUND));
        }
        EXPECT_TRUE(out.contains("] [FATAL] Error opening serial port [" + name + "]: " +
                                 system_message(ERROR_FILE_NOT_FOUND) + "\n"))
            << out.text();
        EXPECT_FALSE(out.contains("opened!"));
    }
}

}  // namespace
