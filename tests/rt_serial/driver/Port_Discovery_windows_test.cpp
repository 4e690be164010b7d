#include "rt_serial/driver/Port_Discovery_windows.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "support/Captured_Stdout.hpp"
#include "utility/Logger.hpp"

namespace {

using namespace Quorin_Core::RT_Serial::Driver;
using Quorin_Core::Utility::Log_Level;
using Quorin_Test::Captured_Stdout;

/// A registry key of the test's own under HKEY_CURRENT_USER, deleted with its values.
class Test_Key {
public:
    Test_Key() {
        ::RegDeleteKeyA(HKEY_CURRENT_USER, path);
        if (::RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr) != ERROR_SUCCESS)
            throw std::runtime_error("cannot create the test key");
    }
    ~Test_Key() {
        ::RegCloseKey(key);
        ::RegDeleteKeyA(HKEY_CURRENT_USER, path);
    }
    Test_Key(const Test_Key&) = delete;
    Test_Key& operator=(const Test_Key&) = delete;

    void set(const char* name, DWORD type, const std::string& data) const {
        ::RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                         static_cast<DWORD>(data.size()));
    }
    /// A plain string value, stored with its terminating zero as the system stores it.
    void set_string(const char* name, const std::string& text) const { set(name, REG_SZ, text + '\0'); }

    std::optional<std::vector<std::string>> ports(LONG& error) const {
        return registry_ports(HKEY_CURRENT_USER, path, error);
    }

    static constexpr const char* path = "Software\\Quorin_Test\\SERIALCOMM";

private:
    HKEY key = nullptr;
};

using Ports = std::vector<std::string>;

class Port_Discovery_Test : public ::testing::Test {
protected:
    void SetUp() override { Quorin_Core::Utility::set_log_level(Log_Level::DEBUG); }
    void TearDown() override { Quorin_Core::Utility::set_log_level(Log_Level::INFO); }
};

// --- lsport's registry listing (value names sort in the order they are added: the
//     registry may enumerate by name) ---------------------------------------------------------

TEST_F(Port_Discovery_Test, plain_string_values_are_ports_up_to_their_first_zero_byte) {
    const Test_Key key;
    key.set_string("\\Device\\Serial0", "COM1");
    key.set("\\Device\\Serial1", REG_DWORD, std::string("\x07\0\0\0", 4));
    key.set("\\Device\\Serial2", REG_SZ, std::string("COM3\0COM4", 9));
    key.set("\\Device\\Serial3", REG_EXPAND_SZ, std::string("COM5\0", 5));
    key.set("\\Device\\Serial4", REG_MULTI_SZ, std::string("COM6\0\0", 6));
    key.set("\\Device\\Serial5", REG_SZ, "COM7");  // stored without its zero byte
    key.set_string("\\Device\\VCP0", "COM12");
    LONG error = -1;
    EXPECT_EQ(key.ports(error), (Ports{"COM1", "COM3", "COM7", "COM12"}));
    EXPECT_EQ(error, ERROR_SUCCESS);
}

TEST_F(Port_Discovery_Test, an_empty_key_lists_nothing_and_a_missing_one_reports_its_error) {
    LONG error = -1;
    {
        const Test_Key key;
        EXPECT_EQ(key.ports(error), Ports{});
    }
    EXPECT_EQ(registry_ports(HKEY_CURRENT_USER, Test_Key::path, error), std::nullopt);
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
}

TEST_F(Port_Discovery_Test, a_value_too_long_for_the_buffers_ends_the_listing) {
    const Test_Key key;
    key.set_string("\\Device\\Serial0", std::string(registry_buffer_bytes - 1, 'A'));
    key.set_string("\\Device\\Serial1", "COM2");
    key.set_string("\\Device\\Serial2", std::string(registry_buffer_bytes, 'B'));
    key.set_string("\\Device\\Serial3", "COM4");
    LONG error = -1;
    EXPECT_EQ(key.ports(error), (Ports{std::string(registry_buffer_bytes - 1, 'A'), "COM2"}));
}

// --- the fallback probe ------------------------------------------------------------------------

TEST_F(Port_Discovery_Test, the_probe_wants_a_communication_device) {
    EXPECT_FALSE(probe_serial_port("\\\\.\\COM250"));
    // An ordinary file opens, but reports no communication state.
    const auto file = std::filesystem::temp_directory_path() / "quorin-probe-test.txt";
    std::ofstream(file) << "not a port";
    EXPECT_FALSE(probe_serial_port(file.string().c_str()));
    std::filesystem::remove(file);
}

// --- the USB identity check's early answers (the ports class has no USB device here) -----------

TEST_F(Port_Discovery_Test, names_that_are_no_com_port_are_never_native) {
    const struct {
        const char* port;
        const char* log;
    } cases[] = {
        {"com3", "Port name does not start with COM:com3"},
        {"\\\\.\\COM3", "Port name does not start with COM:\\\\.\\COM3"},
        {"COM0", "Invalid COM port number:COM0"},
        {"COM-3", "Invalid COM port number:COM-3"},
        {"COMX", "Exception while checking VID/PID for port:COMXError:stoi"},
        {"COM", "Exception while checking VID/PID for port:COMError:stoi"},
        {"COM99999999999", "Exception while checking VID/PID for port:COM99999999999Error:stoi"},
    };
    for (const auto& item : cases) {
        const Captured_Stdout out;
        EXPECT_FALSE(is_native_usb_port(item.port)) << item.port;
        EXPECT_TRUE(out.contains(std::string("[DEBUG] Checking Windows VID/PID for port:") + item.port + "\n"))
            << out.text();
        EXPECT_TRUE(out.contains(std::string("[DEBUG] ") + item.log + "\n")) << out.text();
    }
}

TEST_F(Port_Discovery_Test, a_com_port_without_an_accepted_usb_device_is_not_native) {
    const Captured_Stdout out;
    EXPECT_FALSE(is_native_usb_port("COM250"));
    EXPECT_FALSE(out.contains("Found matching")) << out.text();
    EXPECT_FALSE(out.contains("Failed to get device information set")) << out.text();
}

}  // namespace
