#include "cmd_line/CMD_Map.hpp"
#include "cmd_line/Json_Listing.hpp"
#include "rt_serial/driver/Port_Discovery.hpp"

namespace Quorin_Core::CMD_Line::Console {
namespace {

// An empty list is an answer, not an error: its empty form and 1, for which the parser adds nothing.
CMD_Error list_ports(const std::vector<std::string>& args, std::string& reply, Server&) {
    if (!args.empty()) return CMD_WRONG_FORMAT;
    try {
        const std::vector<std::string> ports = RT_Serial::Driver::list_ports();
        reply.append(json_listing("ports", ports));
        return ports.empty() ? CMD_UNKNOWN_COMMAND : CMD_OK;
    } catch (const std::exception& error) {
        reply.append(error.what()).append("\r\n");
        return CMD_EXCEPTION;
    }
}

}  // namespace

const CMD CMD_List_Ports{list_ports, "List available ports.", "USAGE: lsport"};

}  // namespace Quorin_Core::CMD_Line::Console
