#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "cmd_line/CMD_Error.hpp"

namespace Quorin_Core {
class Server;
}

namespace Quorin_Core::CMD_Line::Console {

/// A command handler: appends its answer to `reply` and never throws.
using CMD_Handler = CMD_Error (*)(const std::vector<std::string>& args, std::string& reply,
                                  Server& server);

/// One entry of the command table.
struct CMD {
    CMD_Handler handler;
    std::string_view description;
    std::string_view usage;  ///< lines joined by "\n", no line end after the last
};

}  // namespace Quorin_Core::CMD_Line::Console
