#include "cmd_line/CMD_Map.hpp"
#include "cmd_line/Json_Listing.hpp"
#include "server/Server.hpp"

namespace Quorin_Core::CMD_Line::Console {
namespace {

CMD_Error list_pdo_channels(const std::vector<std::string>& args, std::string& reply, Server& server) {
    if (!args.empty()) return CMD_WRONG_FORMAT;
    std::vector<std::string> records;
    server.pdo_service->list_channels(records);
    reply.append(json_listing("channels", records));
    // The empty listing returns 1, so the parser adds nothing after it.
    return records.empty() ? CMD_UNKNOWN_COMMAND : CMD_OK;
}

}  // namespace

const CMD CMD_List_PDO_Channels{list_pdo_channels, "List pdo channels.", "USAGE: lspdo"};

}  // namespace Quorin_Core::CMD_Line::Console
