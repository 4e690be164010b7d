#pragma once

#include <cstdint>

namespace Quorin_Test {

/// A port that was free on the loopback interface for TCP and UDP a moment ago.
/// Tests run in parallel, so each asks for its own instead of using fixed numbers.
std::uint16_t free_port();

/// The first of `count` consecutive ports that were free a moment ago.
std::uint16_t free_port_range(unsigned count);

}  // namespace Quorin_Test
