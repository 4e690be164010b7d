#pragma once

#include <string>

namespace Quorin_Core::RT_Serial::Driver {

/// Where Linux keeps its device information: sysfs and the device nodes.
/// Tests point both at a fake tree in a temporary directory.
struct Sysfs_Roots {
    std::string sys = "/sys";  ///< sysfs mount point; ttys are under <sys>/class/tty
    std::string dev = "/dev";  ///< device nodes; a port is written <dev>/<tty name>
};

}  // namespace Quorin_Core::RT_Serial::Driver
