#pragma once

#include <string>

namespace Quorin_Core::RT_Serial::Driver {

/// Where the port called `name` lives on Linux: the name itself when it begins with '/', else
/// the name under "/dev/" ("ttyUSB0", "pts/3"). The port is opened there, and the link watch
/// looks there for its device node.
std::string port_path(const std::string& name);

}  // namespace Quorin_Core::RT_Serial::Driver
