#include <algorithm>

#include "cmd_line/CMD_Map.hpp"

namespace Quorin_Core::CMD_Line::Console {
namespace {

CMD_Error help(const std::vector<std::string>& args, std::string& reply, Server&) {
    if (!args.empty()) return CMD_WRONG_FORMAT;
    std::vector<std::string> names;
    names.reserve(CMD_Map.size());
    for (const auto& [name, entry] : CMD_Map) names.push_back(name);
    std::sort(names.begin(), names.end());

    reply = "Available commands:\n";
    for (const auto& name : names) {
        const CMD& entry = *CMD_Map.at(name);
        reply.append("[").append(name).append("]: ").append(entry.description).append("\n");
        reply.append(entry.usage).append("\n\n");
    }
    return CMD_OK;
}

}  // namespace

const CMD CMD_Help{help, "Display available commands and their usage.", "USAGE: help"};

}  // namespace Quorin_Core::CMD_Line::Console
