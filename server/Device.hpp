#pragma once

#include <string>

namespace Quorin_Core {

/// One named device bound to one serial port. Held by shared pointers: the device table
/// and whoever works with it. Its session and queues arrive with the link layer.
class Device {
public:
    /// A device called `name` on serial port `port_name`.
    Device(std::string name, std::string port_name);

    /// Whether this device already uses `name` or `port_name`.
    bool occupied(const std::string& name, const std::string& port_name) const;
    /// Stops the device's link; safe to call more than once.
    void stop();

    const std::string name;
    const std::string port_name;
};

}  // namespace Quorin_Core
