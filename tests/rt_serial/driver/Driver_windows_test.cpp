#include "rt_serial/driver/Port_Discovery_windows.hpp"

#include <gtest/gtest.h>

#include <boost/asio/error.hpp>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "rt_serial/driver/Serial_Port.hpp"
#include "support/Captured_Stdout.hpp"
#include "utility/Logger.hpp"

// The Windows side of the driver: opening a line, the registry's port list and the USB check.
namespace {

using namespace Quorin_Core::RT_Serial::Driver;
using Quorin_Core::Utility::Log_Level;
using Quorin_Core::Utility::set_log_level;
using Quorin_Test::Captured_Stdout;
using Ports = std::vector<std::string>;

TEST(Serial_Line, a_port_that_cannot_be_opened_fails_with_the_system_message) {
    boost::asio::io_context io;
    const std::string message =
        boost::system::error_code(ERROR_FILE_NOT_FOUND, boost::asio::error::get_system_category()).message();
    for (const std::string name : {"COM250", "\\\\.\\COM250"}) {
        const Captured_Stdout out;
        try {
            Serial_Port::create(io, name, 115200);
            ADD_FAILURE() << name << " opened";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(error.what(), message);
        }
        EXPECT_TRUE(out.contains("] [FATAL] Error opening serial port [" + name + "]: " + message + "\n"))
            << out.text();
    }
}

TEST(Port_Discovery, registry_lists_plain_strings_to_their_first_zero_until_a_value_too_long) {
    // A key of the test's own under HKEY_CURRENT_USER; value names enumerate in the order added.
    const char* path = "Software\\Quorin_Test\\SERIALCOMM";
    ::RegDeleteKeyA(HKEY_CURRENT_USER, path);
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    LONG error = -1;
    EXPECT_EQ(registry_ports(HKEY_CURRENT_USER, path, error), Ports{});
    const std::string zero(1, '\0'), longest(registry_buffer_bytes - 1, 'A');
    const std::tuple<const char*, DWORD, std::string> values[] = {
        {"\\Device\\Serial0", REG_SZ, "COM1" + zero}, {"\\Device\\Serial1", REG_DWORD, std::string("\x07\0\0\0", 4)},
        {"\\Device\\Serial2", REG_SZ, "COM3" + zero + "COM4"}, {"\\Device\\Serial3", REG_EXPAND_SZ, "COM5" + zero},
        {"\\Device\\Serial4", REG_MULTI_SZ, "COM6" + zero + zero}, {"\\Device\\Serial5", REG_SZ, "COM7"},  // no zero
        {"\\Device\\VCP0", REG_SZ, longest + zero}, {"\\Device\\VCP1", REG_SZ, longest + "B" + zero},
        {"\\Device\\VCP2", REG_SZ, "COM9" + zero}};
    for (const auto& [name, type, data] : values)
        ::RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()), DWORD(data.size()));
    EXPECT_EQ(registry_ports(HKEY_CURRENT_USER, path, error), (Ports{"COM1", "COM3", "COM7", longest}));
    EXPECT_EQ(error, ERROR_SUCCESS);
    ::RegCloseKey(key);
    ::RegDeleteKeyA(HKEY_CURRENT_USER, path);
    EXPECT_EQ(registry_ports(HKEY_CURRENT_USER, path, error), std::nullopt);
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
}

TEST(Port_Discovery, names_that_are_no_com_port_of_a_usb_device_are_never_native) {
    set_log_level(Log_Level::DEBUG);
    const std::pair<const char*, const char*> cases[] = {
        {"com3", "Port name does not start with COM:com3"},
        {"\\\\.\\COM3", "Port name does not start with COM:\\\\.\\COM3"},
        {"COM0", "Invalid COM port number:COM0"},
        {"COMX", "Exception while checking VID/PID for port:COMXError:stoi"},
        {"COM250", "Checking Windows VID/PID for port:COM250"},  // no device of the ports class has it
    };
    for (const auto& [port, logged] : cases) {
        const Captured_Stdout out;
        EXPECT_FALSE(is_native_usb_port(port)) << port;
        EXPECT_TRUE(out.contains(std::string("[DEBUG] Checking Windows VID/PID for port:") + port + "\n"));
        EXPECT_TRUE(out.contains(std::string("[DEBUG] ") + logged + "\n")) << out.text();
        EXPECT_FALSE(out.contains("Found matching") || out.contains("Failed to get device information set"));
    }
    // The fallback probe wants a communication device: an ordinary file opens but has no state.
    const auto file = std::filesystem::temp_directory_path() / "quorin-probe-test.txt";
    std::ofstream(file) << "not a port";
    EXPECT_FALSE(probe_serial_port("\\\\.\\COM250") || probe_serial_port(file.string().c_str()));
    std::filesystem::remove(file);
    set_log_level(Log_Level::INFO);
}

}  // namespace
