#pragma once

#include <string>
#include <vector>

#include "rt_serial/driver/Port_Discovery.hpp"
#include "rt_serial/driver/Sysfs_Roots.hpp"

// The Linux side of port discovery, with its roots as a parameter so that tests run it on a
// fake tree. The argument-less functions of Port_Discovery.hpp use the real roots.
namespace Quorin_Core::RT_Serial::Driver {

/// Device name prefix the fallback probe tries: the USB CDC ACM ports, which is how the
/// device's own virtual COM port appears on Linux.
inline constexpr const char* fallback_probe_device_prefix = "ttyACM";
/// Probe numbers count from 1 like COM numbers; Linux device indexes count from 0.
inline constexpr int fallback_probe_index_offset = 1;

/// list_ports() with the given roots: each tty of <sys>/class/tty that has a device link,
/// as <dev>/<name>; the fallback probe when that directory cannot be opened.
std::vector<std::string> list_ports(const Sysfs_Roots& roots);

/// is_native_usb_port() with the given roots.
bool is_native_usb_port(const std::string& port, const Sysfs_Roots& roots) noexcept;

/// The path the fallback probe tries for `number`: <dev>/ttyACM<number - 1>.
std::string fallback_probe_path(const Sysfs_Roots& roots, int number);

/// True when `path` opens for reading and writing, takes an exclusive lock (a port another
/// holder has locked fails, as an open without sharing does) and reports its terminal state.
/// Closes the descriptor in every case.
bool probe_serial_port(const std::string& path);

}  // namespace Quorin_Core::RT_Serial::Driver
