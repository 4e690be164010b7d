#pragma once

#include <string>

#include "rt_serial/driver/Sysfs_Roots.hpp"
#include "support/Server_Process.hpp"

namespace Quorin_Test {

/// A fake sysfs and /dev in a temporary directory, laid out as Linux lays out its tty class:
/// <sys>/class/tty/<name> links into <sys>/devices, and real hardware has a `device` link
/// from there to its bus device.
class Fake_Sysfs {
public:
    Fake_Sysfs();

    /// The roots to pass to the discovery functions.
    const Quorin_Core::RT_Serial::Driver::Sysfs_Roots& roots() const { return sysfs_roots; }
    /// The temporary directory holding <sys> and <dev>.
    const std::string& base() const { return base_dir; }
    /// <dev>/<name>, the port name of tty `name`.
    std::string port(const std::string& name) const;

    /// A USB CDC ACM tty: the device link leads to the interface <usb>:1.0 of USB device `usb`,
    /// which holds `vendor` and `product` as its idVendor and idProduct files. The USB device
    /// sits below a root hub with identity 1d6b:0002.
    void add_acm_tty(const std::string& name, const std::string& usb, const std::string& vendor,
                     const std::string& product);
    /// A USB-serial adapter tty: the device link leads to a port directory one level below
    /// the interface, two levels below the USB device.
    void add_usb_serial_tty(const std::string& name, const std::string& usb, const std::string& vendor,
                            const std::string& product);
    /// An on-board UART: a device link to a platform device with no USB identity above it.
    void add_platform_tty(const std::string& name);
    /// A virtual terminal: in the class, but with no device link.
    void add_virtual_tty(const std::string& name);
    /// Changes the identity of the USB root hub, which is above every USB device.
    void set_root_hub_identity(const std::string& vendor, const std::string& product);
    /// Writes an idVendor and idProduct pair into `dir` (relative to the base directory).
    void write_identity(const std::string& dir, const std::string& vendor, const std::string& product);
    /// A symbolic link <dev>/<link> to `target`, relative as udev makes them.
    void add_dev_link(const std::string& link, const std::string& target);

private:
    /// Puts tty `name` into the class from its device directory, with a device link to `bus_device`
    /// unless that is empty.
    void add_tty(const std::string& name, const std::string& tty_dir, const std::string& bus_device);

    Temp_Dir temp;
    std::string base_dir;
    Quorin_Core::RT_Serial::Driver::Sysfs_Roots sysfs_roots;
};

}  // namespace Quorin_Test
