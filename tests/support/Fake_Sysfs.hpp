#pragma once

#include "rt_serial/driver/Sysfs_Roots.hpp"
#include "support/Server_Process.hpp"

namespace Quorin_Test {

/// A fake sysfs and /dev in a temporary directory, laid out as Linux lays out its tty class:
/// <sys>/class/tty/<name> links into <sys>/devices, where real hardware has a `device` link.
/// Links are relative, as sysfs and udev make them, so the tree means the same wherever it lies.
class Fake_Sysfs {
public:
    /// The USB root hub (identity 1d6b:0002) above every USB device, relative to the base.
    static constexpr const char* usb_root_hub = "sys/devices/pci0000:00/0000:00:14.0/usb1";

    Fake_Sysfs() : base_dir(std::filesystem::canonical(temp.path()).string()) {
        sysfs_roots.sys = base_dir + "/sys";
        sysfs_roots.dev = base_dir + "/dev";
        std::filesystem::create_directories(sysfs_roots.sys + "/class/tty");
        std::filesystem::create_directories(sysfs_roots.dev);
        write_identity(usb_root_hub, "1d6b", "0002");
    }

    /// The roots to pass to the discovery functions.
    const Quorin_Core::RT_Serial::Driver::Sysfs_Roots& roots() const { return sysfs_roots; }
    /// The temporary directory holding sys/ and dev/.
    const std::string& base() const { return base_dir; }
    /// <dev>/<name>.
    std::string port(const std::string& name) const { return sysfs_roots.dev + "/" + name; }

    /// A tty on USB device `usb` (below the root hub) with the given idVendor and idProduct.
    /// A CDC ACM tty's device link leads to the interface; an adapter's to a port directory below it.
    void add_usb_tty(const std::string& name, const std::string& usb, const std::string& vendor,
                     const std::string& product, bool adapter = false) {
        const std::string device = std::string(usb_root_hub) + "/" + usb;
        const std::string bus_device = device + "/" + usb + ":1.0" + (adapter ? "/" + name : "");
        write_identity(device, vendor, product);
        add_tty(name, bus_device + "/tty/" + name, bus_device);
    }
    /// An on-board UART: a device link to a platform device with no USB identity above it.
    void add_platform_tty(const std::string& name) {
        add_tty(name, "sys/devices/platform/serial8250/tty/" + name, "sys/devices/platform/serial8250");
    }
    /// A virtual terminal: in the class, with no device link.
    void add_virtual_tty(const std::string& name) { add_tty(name, "sys/devices/virtual/tty/" + name, ""); }
    /// Writes idVendor and idProduct into `dir` (relative to the base).
    void write_identity(const std::string& dir, const std::string& vendor, const std::string& product) {
        write_line(dir + "/idVendor", vendor);
        write_line(dir + "/idProduct", product);
    }
    /// A symbolic link <dev>/<link> to <dev>/<target>.
    void add_dev_link(const std::string& link, const std::string& target) { relative_link("dev/" + target, "dev/" + link); }

private:
    /// Enters tty `name`, whose directory is `tty_dir`, in the class, linked to `bus_device` if any.
    void add_tty(const std::string& name, const std::string& tty_dir, const std::string& bus_device) {
        write_line(tty_dir + "/dev", "0:0");
        if (!bus_device.empty()) relative_link(bus_device, tty_dir + "/device");
        relative_link(tty_dir, "sys/class/tty/" + name);
    }
    void write_line(const std::string& file, const std::string& text) const {
        const std::filesystem::path path = base_dir + "/" + file;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << text << '\n';
    }
    void relative_link(const std::string& target, const std::string& link) const {
        const std::filesystem::path path = base_dir + "/" + link;
        std::filesystem::create_directories(path.parent_path());
        std::filesystem::create_directory_symlink(std::filesystem::relative(base_dir + "/" + target, path.parent_path()), path);
    }

    Temp_Dir temp;
    std::string base_dir;
    Quorin_Core::RT_Serial::Driver::Sysfs_Roots sysfs_roots;
};

}  // namespace Quorin_Test
