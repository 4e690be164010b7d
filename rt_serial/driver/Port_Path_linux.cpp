#include "rt_serial/driver/Port_Path.hpp"

namespace Quorin_Core::RT_Serial::Driver {

std::string port_path(const std::string& name) {
    return name.starts_with('/') ? name : "/dev/" + name;
}

}  // namespace Quorin_Core::RT_Serial::Driver
