#pragma once

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "rt_serial/driver/Sysfs_Roots.hpp"

// Reading the Linux tty class in sysfs. Real serial hardware has a `device` link under
// <sys>/class/tty/<name>; virtual terminals and pseudo-terminals have none. None of these throw
// on a missing or unreadable entry; they answer empty instead.
namespace Quorin_Core::RT_Serial::Driver::Sysfs_Tty {

/// <sys>/class/tty.
std::filesystem::path class_dir(const Sysfs_Roots& roots);

/// Names of the ttys with a device link, in the order the directory yields them.
/// `error` is set (and the list empty) only when the class directory cannot be opened;
/// a failure later in the enumeration ends it.
std::vector<std::string> serial_names(const Sysfs_Roots& roots, std::error_code& error);

/// The sysfs directory of the USB device behind tty `name`: the nearest directory, from the
/// resolved device link up to (not including) the sysfs root, that holds both idVendor and
/// idProduct. Empty when the tty is not on a USB device.
std::filesystem::path usb_device_of(const Sysfs_Roots& roots, const std::string& name);

/// The first line of a sysfs attribute file, empty when it cannot be read.
std::string read_attribute(const std::filesystem::path& file);

/// The path a symbolic link `port` resolves to (e.g. /dev/serial/by-id/... to /dev/ttyACM0);
/// `port` unchanged when it is no link or the link leads nowhere.
std::string resolve_link(const std::string& port);

}  // namespace Quorin_Core::RT_Serial::Driver::Sysfs_Tty
