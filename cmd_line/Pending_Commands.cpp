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

const CMD CMD_List_PDO_Channels{not_available, "List pdo channels.", "USAGE: lspdo"};
const CMD CMD_PDO{not_available, "PDO operations.",
                  "USAGE: pdo <device_name> <option> <param>\n"
                  "        -o <ip, port>: open a pdo channel\n"
                  "        -c: close a pdo channel\n"
                  "        -e: enable pdo transmission\n"
                  "        -d: disable pdo transmission\n"
                  "        -f <freq>: set pdo freq\n"
                  "        -f <freq> <tpdo_offset_ns> <rpdo_offset_ns>: set pdo freq, tpdo offset, rpdo offset\n"
                  "        pdo -c: close all pdo channels on all devices"};
}  // namespace Quorin_Core::CMD_Line::Console
