#pragma once

#include <string>
#include <vector>

// Port knowledge that comes from the operating system: which serial ports exist, and whether
// a port is the device's own USB interface. Both run on the calling command's thread and keep
// no state between calls. Each platform implements them in Port_Discovery_<platform>.cpp.
namespace Quorin_Core::RT_Serial::Driver {

/// First and last number of the fallback probe, which runs when the system's port list
/// cannot be read.
inline constexpr int fallback_probe_first_number = 1;
inline constexpr int fallback_probe_last_number = 256;

/// The serial ports that exist, as the names "bind" takes, in the order the system yields
/// them (no sorting, no removal of duplicates). Ports that cannot be opened are left out
/// of the fallback probe. Empty when there is none.
std::vector<std::string> list_ports();

/// True when `port` belongs to a present USB device whose identity is accepted
/// (USB_Identity.hpp); every doubt answers false. Logs at DEBUG, a match at INFO.
bool is_native_usb_port(const std::string& port) noexcept;

}  // namespace Quorin_Core::RT_Serial::Driver
