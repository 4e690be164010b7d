#include "rt_serial/driver/Port_Discovery_linux.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "support/Captured_Stdout.hpp"
#include "support/Fake_Sysfs.hpp"
#include "support/Pty_Pair.hpp"
#include "utility/Logger.hpp"

namespace {

namespace fs = std::filesystem;
using namespace Quorin_Core::RT_Serial::Driver;
using Quorin_Core::Utility::Log_Level;
using Quorin_Test::Captured_Stdout;
using Quorin_Test::Fake_Sysfs;
using Quorin_Test::Pty_Pair;

std::size_t open_descriptor_count() {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"),
                                                  fs::directory_iterator()));
}

class Port_Discovery_Test : public ::testing::Test {
protected:
    void SetUp() override { Quorin_Core::Utility::set_log_level(Log_Level::DEBUG); }
    void TearDown() override { Quorin_Core::Utility::set_log_level(Log_Level::INFO); }

    bool native(const std::string& port) { return is_native_usb_port(port, tree.roots()); }

    Fake_Sysfs tree;
};

// --- lsport's list --------------------------------------------------------------------------

TEST_F(Port_Discovery_Test, lists_hardware_ttys_as_dev_paths_in_directory_order) {
    tree.add_virtual_tty("tty0");
    tree.add_usb_tty("ttyACM0", "1-2", "0483", "5740");
    tree.add_platform_tty("ttyS1");
    tree.add_virtual_tty("ptmx");
    tree.add_usb_tty("ttyUSB0", "1-3", "0403", "6001", true);
    tree.add_platform_tty("ttyS0");

    std::vector<std::string> expected;
    for (const auto& entry : fs::directory_iterator(tree.roots().sys + "/class/tty")) {  // readdir's order
        const std::string name = entry.path().filename().string();
        if (name.starts_with("ttyACM") || name.starts_with("ttyS") || name.starts_with("ttyUSB"))
            expected.push_back(tree.port(name));
    }
    ASSERT_EQ(expected.size(), 4u);
    Captured_Stdout log;
    EXPECT_EQ(list_ports(tree.roots()), expected);
    EXPECT_FALSE(log.contains("fallback"));
}

TEST_F(Port_Discovery_Test, an_empty_class_is_an_empty_list_and_no_probe) {
    tree.add_virtual_tty("tty0");
    Pty_Pair terminal;
    fs::create_symlink(terminal.port_path(), tree.port("ttyACM0"));
    Captured_Stdout log;
    EXPECT_TRUE(list_ports(tree.roots()).empty());
    EXPECT_FALSE(log.contains("fallback"));
}

TEST_F(Port_Discovery_Test, without_sysfs_probes_acm_ports_0_to_255_that_open_exclusively) {
    Sysfs_Roots roots = tree.roots();
    roots.sys = tree.base() + "/no-sysfs";
    Pty_Pair first, last, beyond, locked;
    fs::create_symlink(first.port_path(), tree.port("ttyACM0"));      // probe number 1
    fs::create_symlink(last.port_path(), tree.port("ttyACM255"));     // probe number 256
    fs::create_symlink(beyond.port_path(), tree.port("ttyACM256"));   // outside the probe's range
    std::ofstream(tree.port("ttyACM1")) << "not a terminal";
    fs::create_symlink(locked.port_path(), tree.port("ttyACM2"));
    const int holder = ::open(tree.port("ttyACM2").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);  // as a bound port is held

    const std::size_t descriptors = open_descriptor_count();
    Captured_Stdout log;
    EXPECT_EQ(list_ports(roots), (std::vector<std::string>{tree.port("ttyACM0"), tree.port("ttyACM255")}));
    EXPECT_EQ(open_descriptor_count(), descriptors) << "the probe must close what it opens";
    EXPECT_TRUE(log.contains("] [DEBUG] Failed to open " + roots.sys +
                             "/class/tty for COM ports (error: 2), using fallback method\n"))
        << log.text();
    EXPECT_TRUE(log.contains("] [DEBUG] Found COM port (fallback): " + tree.port("ttyACM255") + "\n"));

    const int after = ::open(first.port_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_EQ(::flock(after, LOCK_EX | LOCK_NB), 0) << "the probe's lock must be gone";
    ::close(after);
    ::close(holder);
}

// --- is_native_usb_port -----------------------------------------------------------------------

TEST_F(Port_Discovery_Test, only_an_accepted_identity_on_the_very_port_is_native) {
    tree.add_usb_tty("ttyACM0", "1-1", "0483", "5740");
    tree.add_usb_tty("ttyACM1", "1-2", "0483", "a7e0");
    tree.add_usb_tty("ttyACM2", "1-3", "0483", "A7E1");
    tree.add_usb_tty("ttyUSB0", "1-4", "0483", "5740", true);  // a second match, as an adapter
    tree.add_usb_tty("ttyACM3", "1-5", "0484", "5740");        // other vendor
    tree.add_usb_tty("ttyACM4", "1-6", "0483", "5741");        // neighbouring product
    tree.add_usb_tty("ttyACM5", "1-7", "5740", "0483");        // swapped
    tree.add_platform_tty("ttyS0");

    for (const char* name : {"ttyACM0", "ttyACM1", "ttyACM2", "ttyUSB0"}) EXPECT_TRUE(native(tree.port(name))) << name;
    for (const char* name : {"ttyACM3", "ttyACM4", "ttyACM5", "ttyS0", "ttyACM9"})
        EXPECT_FALSE(native(tree.port(name))) << name;
}

TEST_F(Port_Discovery_Test, a_match_logs_the_identity_in_short_lower_case_hexadecimal) {
    tree.add_usb_tty("ttyACM0", "1-1", "0483", "A7E1");
    Captured_Stdout log;
    ASSERT_TRUE(native(tree.port("ttyACM0")));
    const std::string port = tree.port("ttyACM0");
    EXPECT_TRUE(log.contains("] [DEBUG] Checking Linux VID/PID for port:" + port + "\n"));
    EXPECT_TRUE(log.contains("] [DEBUG] Found USB device - VID:[483] PID:[a7e1]\n"));
    EXPECT_TRUE(log.contains("] [DEBUG] Device port name:" + port + ", Target port:" + port + "\n"));
    EXPECT_TRUE(log.contains("] [INFO ] Found matching KELD device on port:[" + port +
                             "] VID:[483] PID:[a7e1]\n"))
        << log.text();
}

TEST_F(Port_Discovery_Test, port_names_compare_exactly_and_must_name_a_tty_device) {
    tree.add_usb_tty("ttyACM0", "1-1", "0483", "5740");
    const std::string dev = tree.roots().dev;
    Captured_Stdout log;
    for (const std::string& port : {dev + "/ttyacm0", dev + "/TTYACM0", tree.base() + "/DEV/ttyACM0",
                                    std::string("COM3"), std::string(), dev + "/tty", dev + "/ttyACM0/"})
        EXPECT_FALSE(native(port)) << port;
    EXPECT_TRUE(log.contains("] [DEBUG] Port name does not start with " + dev + "/tty:COM3\n"));
    EXPECT_TRUE(log.contains("] [DEBUG] Invalid tty port name:" + dev + "/tty\n"));
    EXPECT_TRUE(log.contains("] [DEBUG] Device port name:" + dev + "/ttyACM0, Target port:" + dev + "/ttyacm0\n"));
}

TEST_F(Port_Discovery_Test, short_long_and_unreadable_ids) {
    tree.add_usb_tty("ttyACM0", "1-1", "483", "5740");    // short: read as 0x483
    tree.add_usb_tty("ttyACM1", "1-2", "04835", "5740");  // only four characters are read
    tree.add_usb_tty("ttyACM2", "1-3", "48", "5740");     // 0x48, another vendor
    tree.add_usb_tty("ttyACM3", "1-4", "zz", "5740");
    tree.add_usb_tty("ttyACM4", "1-5", "0483", "");
    EXPECT_TRUE(native(tree.port("ttyACM0")));
    EXPECT_TRUE(native(tree.port("ttyACM1")));
    EXPECT_FALSE(native(tree.port("ttyACM2")));

    Captured_Stdout log;
    EXPECT_FALSE(native(tree.port("ttyACM3")));
    EXPECT_TRUE(log.contains("] [DEBUG] Exception parsing VID/PID from sysfs device:" + tree.base() + "/" +
                             Fake_Sysfs::usb_root_hub + "/1-4Error:stoul\n"))
        << log.text();
    EXPECT_TRUE(log.contains("] [DEBUG] Found USB device - VID:[48] PID:[5740]\n"));
    EXPECT_FALSE(native(tree.port("ttyACM4")));
}

TEST_F(Port_Discovery_Test, the_nearest_identity_inside_sysfs_decides) {
    tree.add_platform_tty("ttyS0");
    tree.write_identity("", "0483", "5740");     // beside sysfs
    tree.write_identity("sys", "0483", "5740");  // sysfs' own root
    tree.write_identity(Fake_Sysfs::usb_root_hub, "0483", "5740");
    tree.add_usb_tty("ttyACM0", "1-1", "1234", "5678");
    Captured_Stdout log;
    EXPECT_FALSE(native(tree.port("ttyS0")));
    EXPECT_FALSE(native(tree.port("ttyACM0")));
    EXPECT_FALSE(log.contains("VID:[483]")) << log.text();

    Sysfs_Roots no_sysfs = tree.roots();
    no_sysfs.sys = tree.base() + "/no-sysfs";
    EXPECT_FALSE(is_native_usb_port(tree.port("ttyACM0"), no_sysfs));
    EXPECT_TRUE(log.contains("] [DEBUG] Failed to open " + no_sysfs.sys + "/class/tty for ports\n"));
}

TEST_F(Port_Discovery_Test, links_are_resolved_to_the_tty_they_name) {
    tree.add_usb_tty("ttyACM0", "1-1", "0483", "5740");
    std::ofstream(tree.port("ttyACM0")) << "";
    tree.add_dev_link("serial/by-id/usb-device-if00", "ttyACM0");
    tree.add_dev_link("serial/by-id/gone", "ttyACM7");
    Captured_Stdout log;
    EXPECT_TRUE(native(tree.port("serial/by-id/usb-device-if00")));
    EXPECT_TRUE(log.contains("] [INFO ] Found matching KELD device on port:[" + tree.port("ttyACM0") + "]"));
    EXPECT_FALSE(native(tree.port("serial/by-id/gone")));
}

}  // namespace
