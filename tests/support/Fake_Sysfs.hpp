#pragma once

#include <string>

#include "rt_serial/driver/Sysfs_Roots.hpp"
#include "support/Server_Process.hpp"

namespace Quorin_Test {

/// A fake sysfs and /dev in a temporary directory, laid out as Linux lays out its tty class:
/// <sys>/class/tty/<name> links into <sys>/devices, where real hardware has a `device` link.
class Fake_Sysfs {
public:
    /// The USB root hub (identity 1d6b:0002) above every USB device, relative to the base.
    static constexpr const char* usb_root_hub = "sys/devices/pci0000:00/0000:00:14.0/usb1";

    Fake_Sysfs();

    /// The roots to pass to the discovery functions.
    const Quorin_Core::RT_Serial::Driver::Sysfs_Roots& roots() const { return sysfs_roots; }
    /// The temporary directory holding sys/ and dev/.
    const std::string& base() const { return base_dir; }
    /// <dev>/<name>.
    std::string port(const std::string& name) const;

    /// A tty on USB device `usb` (below the root hub) with the given idVendor and idProduct.
    /// A CDC ACM tty's device link leads to the interface; an adapter's to a port directory below it.
    void add_usb_tty(const std::string& name, const std::string& usb, const std::string& vendor,
                     const std::string& product, bool adapter = false);
    /// An on-board UART: a device link to a platform device with no USB identity above it.
    void add_platform_tty(const std::string& name);
    /// A virtual terminal: in the class, with no device link.
    void add_virtual_tty(const std::string& name);
    /// Writes idVendor and idProduct into `dir` (relative to the base).
    void write_identity(const std::string& dir, const std::string& vendor, const std::string& product);
    /// A relative symbolic link <dev>/<link> to <dev>/<target>, as udev makes them.
    void add_dev_link(const std::string& link, const std::string& target);

private:
    /// Enters tty `name`, whose directory is `tty_dir`, in the class, linked to `bus_device` if any.
    void add_tty(const std::string& name, const std::string& tty_dir, const std::string& bus_device);

    Temp_Dir temp;
    std::string base_dir;
    Quorin_Core::RT_Serial::Driver::Sysfs_Roots sysfs_roots;
};

}  // namespace Quorin_Test
