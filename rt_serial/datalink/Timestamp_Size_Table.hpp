#pragma once

#include <array>
#include <cstdint>

namespace Quorin_Core::RT_Serial::Payload {

/// Timestamp size in bytes by the descriptor's two-bit timestamp code: none, 32-bit
/// milliseconds, 32-bit microseconds, 64-bit microseconds.
inline constexpr std::array<std::uint8_t, 4> Timestamp_Size_Table{0, 4, 4, 8};

}  // namespace Quorin_Core::RT_Serial::Payload
