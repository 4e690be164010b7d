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

const CMD CMD_List_SDO_Mailboxes{not_available, "List sdo mailboxes.", "USAGE: lssdo"};
const CMD CMD_SDO{not_available, "SDO operations.",
                  "USAGE: sdo <name> <option> <param>\n"
                  "        -o <ip, port>: add a sdo link to mailbox\n"
                  "        -c <ip, port / id>: remove a sdo link from mailbox\n"
                  "        sdo -c: remove all sdo mailboxes on all devices"};
}  // namespace Quorin_Core::CMD_Line::Console
