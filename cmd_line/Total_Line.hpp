#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Quorin_Core::CMD_Line {

/// `before`, then `value` in decimal, then `after`: a 64-bit total printed in full on every
/// platform (a C `long` has 32 bits on Windows).
std::string total_line(std::string_view before, std::uint64_t value, std::string_view after);

}  // namespace Quorin_Core::CMD_Line
