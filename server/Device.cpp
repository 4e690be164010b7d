#include "server/Device.hpp"

namespace Quorin_Core {

Device::Device(std::string name, std::string port_name)
    : name(std::move(name)), port_name(std::move(port_name)) {}

bool Device::occupied(const std::string& other_name, const std::string& other_port) const {
    return name == other_name || port_name == other_port;
}

void Device::stop() {}

}  // namespace Quorin_Core
