#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "cmd_line/CMD.hpp"
#include "cmd_line/CMD_Error.hpp"

// Reply lines that several commands share.
namespace Quorin_Core::CMD_Line::Console {

/// The line "`what` [`name`]\r\n" that says an operation on `name` failed.
inline std::string failure_line(std::string_view what, std::string_view name) {
    return std::string(what).append(" [").append(name).append("]\r\n");
}

/// Appends the failure line to `reply`; CMD_FAILED, after which the parser adds ">-FAILED".
inline CMD_Error failed(std::string& reply, std::string_view what, std::string_view name) {
    reply.append(failure_line(what, name));
    return CMD_FAILED;
}

/// The answer to "-h": the command's description and usage, each on its line.
inline CMD_Error describe(const CMD& entry, std::string& reply) {
    reply.append(entry.description).append("\r\n").append(entry.usage).append("\r\n");
    return CMD_OK;
}

/// A command's one-argument forms: "-h" describes it, "-c" runs `remove_all` and answers the
/// line `removed`; anything else is the wrong form.
inline CMD_Error help_or_remove_all(const std::string& arg, const CMD& entry, const std::function<void()>& remove_all,
                                    std::string_view removed, std::string& reply) {
    if (arg == "-h") return describe(entry, reply);
    if (arg != "-c") return CMD_WRONG_FORMAT;
    remove_all();
    reply.append(removed).append("\r\n");
    return CMD_OK;
}

}  // namespace Quorin_Core::CMD_Line::Console
