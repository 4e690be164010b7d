#pragma once

#include <cstdint>

namespace Quorin_Core::CMD_Line::Console {

/// A command handler's result; the parser appends its error reply from it.
enum CMD_Error : std::uint8_t {
    CMD_OK = 0,
    CMD_UNKNOWN_COMMAND = 1,  ///< also returned by listings with an empty answer
    CMD_WRONG_FORMAT = 2,
    CMD_OVERRANGE = 3,
    CMD_EXCEPTION = 4,
    CMD_FAILED = 5,
};

}  // namespace Quorin_Core::CMD_Line::Console
