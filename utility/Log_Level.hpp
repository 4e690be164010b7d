#pragma once

#include <cstdint>

namespace Quorin_Core::Utility {

/// Severity of a log line, lowest first.
enum class Log_Level : std::uint8_t { DEBUG = 0, INFO = 1, WARN = 2, ERROR = 3, FATAL = 4 };

}  // namespace Quorin_Core::Utility
