#include "rt_serial/driver/Port_Discovery_linux.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <ios>

#include "rt_serial/driver/Sysfs_Tty_linux.hpp"
#include "rt_serial/driver/USB_Identity.hpp"
#include "utility/Logger.hpp"

namespace Quorin_Core::RT_Serial::Driver {

namespace fs = std::filesystem;

namespace {

std::vector<std::string> probe_ports(const Sysfs_Roots& roots) {
    std::vector<std::string> ports;
    for (int number = fallback_probe_first_number; number <= fallback_probe_last_number; ++number) {
        const std::string path = fallback_probe_path(roots, number);
        if (!probe_serial_port(path)) continue;
        QUORIN_LOG(DEBUG, "Found COM port (fallback): ", path);
        ports.push_back(path);
    }
    return ports;
}

// The Linux counterpart of a COM name with a number: a device directly in <dev> whose name is
// "tty" and at least one more character ("/dev/tty" alone is the controlling terminal).
bool is_tty_device_name(const std::string& name) {
    constexpr std::string_view tty = "tty";
    return name.size() > tty.size() && name.find('/') == std::string::npos;
}

// Reads the tty's USB identity; false (logged) when an identifier cannot be read.
bool read_identity(const fs::path& usb_device, USB_Identity& identity) {
    try {
        identity.vendor_id = parse_usb_id(Sysfs_Tty::read_attribute(usb_device / "idVendor"));
        identity.product_id = parse_usb_id(Sysfs_Tty::read_attribute(usb_device / "idProduct"));
        return true;
    } catch (const std::exception& error) {
        QUORIN_LOG(DEBUG, "Exception parsing VID/PID from sysfs device:", usb_device.string(),
                   "Error:", error.what());
        return false;
    }
}

// One step of the enumeration: true when tty `name` is an accepted USB device on `target`.
bool tty_matches(const Sysfs_Roots& roots, const std::string& name, const std::string& target) {
    const fs::path usb_device = Sysfs_Tty::usb_device_of(roots, name);
    if (usb_device.empty()) return false;
    USB_Identity identity;
    if (!read_identity(usb_device, identity)) return false;
    QUORIN_LOG(DEBUG, "Found USB device - VID:[", std::hex, identity.vendor_id, "] PID:[",
               identity.product_id, "]");
    if (!is_accepted_usb_identity(identity)) return false;
    const std::string port_name = roots.dev + "/" + name;
    QUORIN_LOG(DEBUG, "Device port name:", port_name, ", Target port:", target);
    if (port_name != target) return false;
    QUORIN_LOG(INFO, "Found matching KELD device on port:[", target, "] VID:[", std::hex,
               identity.vendor_id, "] PID:[", identity.product_id, "]");
    return true;
}

bool check_usb_port(const std::string& port, const Sysfs_Roots& roots) {
    QUORIN_LOG(DEBUG, "Checking Linux VID/PID for port:", port);
    const std::string target = Sysfs_Tty::resolve_link(port);
    if (target != port) QUORIN_LOG(DEBUG, "Port link resolved:", port, " -> ", target);
    const std::string tty_prefix = roots.dev + "/tty";
    if (!target.starts_with(tty_prefix)) {
        QUORIN_LOG(DEBUG, "Port name does not start with ", tty_prefix, ":", target);
        return false;
    }
    if (!is_tty_device_name(target.substr(roots.dev.size() + 1))) {
        QUORIN_LOG(DEBUG, "Invalid tty port name:", target);
        return false;
    }
    std::error_code error;
    const std::vector<std::string> names = Sysfs_Tty::serial_names(roots, error);
    if (error) {
        QUORIN_LOG(DEBUG, "Failed to open ", Sysfs_Tty::class_dir(roots).string(), " for ports");
        return false;
    }
    for (const std::string& name : names) {
        if (tty_matches(roots, name, target)) return true;
    }
    return false;
}

}  // namespace

std::vector<std::string> list_ports(const Sysfs_Roots& roots) {
    std::error_code error;
    const std::vector<std::string> names = Sysfs_Tty::serial_names(roots, error);
    if (error) {
        QUORIN_LOG(DEBUG, "Failed to open ", Sysfs_Tty::class_dir(roots).string(),
                   " for COM ports (error: ", error.value(), "), using fallback method");
        return probe_ports(roots);
    }
    std::vector<std::string> ports;
    ports.reserve(names.size());
    for (const std::string& name : names) ports.push_back(roots.dev + "/" + name);
    return ports;
}

bool is_native_usb_port(const std::string& port, const Sysfs_Roots& roots) noexcept {
    try {
        return check_usb_port(port, roots);
    } catch (const std::exception& error) {
        QUORIN_LOG(DEBUG, "Exception while checking VID/PID for port:", port, "Error:", error.what());
    } catch (...) {
        QUORIN_LOG(DEBUG, "Exception while checking VID/PID for port:", port, "Error:", "unknown");
    }
    return false;
}

std::string fallback_probe_path(const Sysfs_Roots& roots, int number) {
    return roots.dev + "/" + fallback_probe_device_prefix +
           std::to_string(number - fallback_probe_index_offset);
}

bool probe_serial_port(const std::string& path) {
    // Non-blocking, so that a port waiting for carrier does not hold up the listing.
    const int descriptor = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) return false;
    termios state{};
    const bool usable = ::flock(descriptor, LOCK_EX | LOCK_NB) == 0 && ::tcgetattr(descriptor, &state) == 0;
    ::close(descriptor);
    return usable;
}

std::vector<std::string> list_ports() { return list_ports(Sysfs_Roots{}); }

bool is_native_usb_port(const std::string& port) noexcept {
    return is_native_usb_port(port, Sysfs_Roots{});
}

}  // namespace Quorin_Core::RT_Serial::Driver
