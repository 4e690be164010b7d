#include "cmd_line/CMD_Map.hpp"

// Commands whose subsystems are not in this build yet: their entries exist, so help lists
// them, and each answers a plain failure.
namespace Quorin_Core::CMD_Line::Console {
namespace {

CMD_Error not_available(const std::vector<std::string>&, std::string& reply, Server&) {
    reply.append("FAILED command not available in this build\r\n");
    return CMD_FAILED;
}

}  // namespace

}  // namespace Quorin_Core::CMD_Line::Console
