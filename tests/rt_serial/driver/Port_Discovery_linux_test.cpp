#include "rt_serial/driver/Port_Discovery_linux.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/Captured_Stdout.hpp"
#include "support/Fake_Sysfs.hpp"
#include "support/Pty_Pair.hpp"
#include "utility/Logger.hpp"

namespace {

namespace fs = std::filesystem;
using namespace Quorin_Core::RT_Serial::Driver;
using Quorin_Core::Utility::Log_Level;
using Quorin_Core::Utility::set_log_level;
using Quorin_Test::Captured_Stdout;
using Quorin_Test::Fake_Sysfs;
using Quorin_Test::Pty_Pair;

class Port_Discovery_Test : public ::testing::Test {
protected:
    Port_Discovery_Test() { set_log_level(Log_Level::DEBUG); }
    ~Port_Discovery_Test() override { set_log_level(Log_Level::INFO); }

    Fake_Sysfs tree;
    const std::string dev = tree.roots().dev;
    Captured_Stdout log;
};

TEST_F(Port_Discovery_Test, lists_ttys_with_a_device_link_in_directory_order_or_else_probes_acm_ports) {
    tree.add_virtual_tty("tty0");
    tree.add_usb_tty("ttyACM0", "1-2", "0483", "5740");
    tree.add_platform_tty("ttyS1");
    tree.add_usb_tty("ttyUSB0", "1-3", "0403", "6001", true);
    std::vector<std::string> listed;
    for (const auto& entry : fs::directory_iterator(tree.roots().sys + "/class/tty"))  // readdir's order
        if (entry.path().filename() != "tty0") listed.push_back(dev + "/" + entry.path().filename().string());
    // Without sysfs, ttyACM0 to ttyACM255 are probed: those that open, lock and are terminals.
    Pty_Pair first, last, beyond, locked;
    fs::create_symlink(first.port_path(), tree.port("ttyACM0"));
    fs::create_symlink(last.port_path(), tree.port("ttyACM255"));
    fs::create_symlink(beyond.port_path(), tree.port("ttyACM256"));
    std::ofstream(tree.port("ttyACM1")) << "not a terminal";
    fs::create_symlink(locked.port_path(), tree.port("ttyACM2"));
    const int holder = ::open(tree.port("ttyACM2").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);  // as a bound port is held

    EXPECT_EQ(list_ports(tree.roots()), listed);
    EXPECT_FALSE(log.contains("fallback"));
    auto no_sysfs = tree.roots();
    no_sysfs.sys = tree.base() + "/no-sysfs";
    const auto descriptors = std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
    EXPECT_EQ(list_ports(no_sysfs), (std::vector<std::string>{tree.port("ttyACM0"), tree.port("ttyACM255")}));
    EXPECT_EQ(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()), descriptors);
    EXPECT_TRUE(log.contains("] [DEBUG] Failed to open " + no_sysfs.sys +
                             "/class/tty for COM ports (error: 2), using fallback method\n"));
    EXPECT_TRUE(log.contains("] [DEBUG] Found COM port (fallback): " + tree.port("ttyACM255") + "\n"));
    const int after = ::open(first.port_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_EQ(::flock(after, LOCK_EX | LOCK_NB), 0) << "the probe's lock must be gone";
    ::close(after);
    ::close(holder);
    EXPECT_FALSE(is_native_usb_port(tree.port("ttyACM9"), no_sysfs));
    EXPECT_TRUE(log.contains("] [DEBUG] Failed to open " + no_sysfs.sys + "/class/tty for ports\n"));
}

TEST_F(Port_Discovery_Test, only_an_accepted_identity_nearest_to_the_very_tty_is_native) {
    const std::string zz = tree.base() + "/" + Fake_Sysfs::usb_root_hub + "/1-8";  // the device of ttyACM6
    for (const std::string& dir : {std::string(), std::string("sys"), std::string(Fake_Sysfs::usb_root_hub)})
        tree.write_identity(dir, "0483", "5740");  // beside sysfs, its root, above every USB device
    tree.add_usb_tty("ttyACM0", "1-1", "0483", "5740");
    tree.add_usb_tty("ttyACM1", "1-2", "0483", "a7e0");
    tree.add_usb_tty("ttyACM2", "1-3", "0483", "A7E1");
    tree.add_usb_tty("ttyUSB0", "1-4", "0483", "5740", true);  // an adapter
    tree.add_usb_tty("ttyACM3", "1-5", "0484", "5740");  // another vendor
    tree.add_usb_tty("ttyACM4", "1-6", "483", "5740");   // read as 0x483
    tree.add_usb_tty("ttyACM5", "1-7", "48", "5740");    // 0x48, another vendor
    tree.add_usb_tty("ttyACM6", "1-8", "zz", "5740");
    tree.add_platform_tty("ttyS0");
    tree.add_dev_link("serial/by-id/usb-if00", "ttyACM2");
    tree.add_dev_link("serial/by-id/gone", "ttyACM77");
    const std::string acm1 = tree.port("ttyACM1"), acm2 = tree.port("ttyACM2");
    const std::string link = tree.port("serial/by-id/usb-if00");
    std::ofstream{acm2};  // a link is resolved only to a device that exists
    const std::tuple<std::string, bool, std::string> cases[] = {  // port, native, a line it logs
        {tree.port("ttyACM0"), true, "] [DEBUG] Found USB device - VID:[483] PID:[5740]\n"},
        {acm1, true, "] [DEBUG] Device port name:" + acm1 + ", Target port:" + acm1 + "\n"},
        {acm2, true, "] [INFO ] Found matching KELD device on port:[" + acm2 + "] VID:[483] PID:[a7e1]\n"},
        {link, true, "] [DEBUG] Port link resolved:" + link + " -> " + acm2 + "\n"},
        {tree.port("ttyUSB0"), true, ""}, {tree.port("ttyACM4"), true, ""},
        {tree.port("ttyACM3"), false, ""}, {tree.port("ttyS0"), false, ""},
        {tree.port("ttyACM5"), false, "] [DEBUG] Found USB device - VID:[48] PID:[5740]\n"},
        {tree.port("ttyACM6"), false, "] [DEBUG] Exception parsing VID/PID from sysfs device:" + zz + "Error:stoul\n"},
        {tree.port("ttyACM99"), false, ""}, {tree.port("serial/by-id/gone"), false, ""}, {"", false, ""},
        {"COM3", false, "] [DEBUG] Port name does not start with " + dev + "/tty:COM3\n"},
        {dev + "/tty", false, "] [DEBUG] Invalid tty port name:" + dev + "/tty\n"},
        {dev + "/ttyacm0", false, "] [DEBUG] Device port name:" + dev + "/ttyACM0, Target port:" + dev + "/ttyacm0\n"},
        {dev + "/TTYACM0", false, ""}, {dev + "/ttyACM0/", false, ""}, {tree.base() + "/DEV/ttyACM0", false, ""},
    };
    for (const auto& [port, native, logged] : cases) {
        const Captured_Stdout out;
        EXPECT_EQ(is_native_usb_port(port, tree.roots()), native) << port;
        EXPECT_TRUE(out.contains("] [DEBUG] Checking Linux VID/PID for port:" + port + "\n"));
        EXPECT_TRUE(out.contains(logged)) << out.text();
    }
}

}  // namespace
