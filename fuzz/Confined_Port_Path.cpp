// The fuzz build's stand-in for where a port lives (the product's is Port_Path_linux.cpp).
#include "fuzz/Confined_Port_Path.hpp"

#include <mutex>

#include "rt_serial/driver/Port_Path.hpp"

namespace Quorin_Fuzz {
namespace {

std::mutex root_mutex;
std::string root;  // empty: no port opens at all

}  // namespace

void confine_ports_to(const std::string& directory) {
    std::lock_guard lock(root_mutex);
    root = directory;
}

}  // namespace Quorin_Fuzz

namespace Quorin_Core::RT_Serial::Driver {

std::string port_path(const std::string& name) {
    std::lock_guard lock(Quorin_Fuzz::root_mutex);
    // One plain file name inside the directory; an empty path opens nothing.
    const bool plain = !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
                       name.find('\0') == std::string::npos;
    return plain && !Quorin_Fuzz::root.empty() ? Quorin_Fuzz::root + "/" + name : std::string();
}

}  // namespace Quorin_Core::RT_Serial::Driver
