#include "cmd_line/CMD_Map.hpp"
#include "cmd_line/Json_Listing.hpp"
#include "server/Device.hpp"
#include "server/Server.hpp"

namespace Quorin_Core::CMD_Line::Console {
namespace {

// A listing with no record still answers its empty form, and returns 1 so the parser adds nothing.
CMD_Error answer_listing(const char* key, const std::vector<std::string>& records, std::string& reply) {
    reply.append(json_listing(key, records));
    return records.empty() ? CMD_UNKNOWN_COMMAND : CMD_OK;
}

CMD_Error list_ctrl_connections(const std::vector<std::string>& args, std::string& reply,
                                Server& server) {
    if (!args.empty()) return CMD_WRONG_FORMAT;
    std::vector<std::string> records;
    server.ctrl_service->list_connections(records);
    return answer_listing("connections", records, reply);
}

CMD_Error list_devices(const std::vector<std::string>& args, std::string& reply, Server& server) {
    if (!args.empty()) return CMD_WRONG_FORMAT;
    std::vector<std::string> records;
    for (const auto& device : server.list_devices()) records.push_back(device->name);
    return answer_listing("devices", records, reply);
}

CMD_Error list_binds(const std::vector<std::string>& args, std::string& reply, Server& server) {
    if (!args.empty()) return CMD_WRONG_FORMAT;
    std::vector<std::string> records;
    for (const auto& device : server.list_devices())
        records.push_back(device->name + " " + device->session.get_port_name());
    return answer_listing("binds", records, reply);
}

}  // namespace

const CMD CMD_List_Devices{list_devices, "List devices.", "USAGE: lsdev"};
const CMD CMD_List_Binds{list_binds, "List device binds.", "USAGE: lsbind"};
const CMD CMD_List_Ctrl_Connections{list_ctrl_connections, "List control connections.",
                                    "USAGE: lsctrl"};

}  // namespace Quorin_Core::CMD_Line::Console
