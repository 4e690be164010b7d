#pragma once

#include <string>

namespace Quorin_Fuzz {

/// From now on every port name is looked for in `directory` and nowhere else: a made-up name
/// such as /dev/watchdog or ../etc cannot reach the host's devices.
void confine_ports_to(const std::string& directory);

}  // namespace Quorin_Fuzz
