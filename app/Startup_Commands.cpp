#include "app/Startup_Commands.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "cmd_line/Console.hpp"
#include "utility/Logger.hpp"

namespace Quorin_Core::App {
namespace {

constexpr const char* blanks = " \t\r";

/// The reply as log text: without its carriage returns and its last line ends.
std::string log_text(std::string reply) {
    std::erase(reply, '\r');
    while (!reply.empty() && reply.back() == '\n') reply.pop_back();
    return reply;
}

}  // namespace

Startup_Commands Startup_Commands::from_file(const std::string& path) {
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored))
        throw std::runtime_error("Error: cannot read commands file " + path + ": it is a directory");
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open())
        throw std::runtime_error("Error: cannot read commands file " + path + ": " + std::strerror(errno));
    std::ostringstream text;
    text << file.rdbuf();
    return from_text(text.str());
}

Startup_Commands Startup_Commands::from_text(const std::string& text) {
    Startup_Commands file;
    std::istringstream lines(text);
    std::string line;
    for (unsigned number = 1; std::getline(lines, line); ++number) {
        const auto first = line.find_first_not_of(blanks);
        if (first == std::string::npos || line[first] == '#') continue;
        line.erase(line.find_last_not_of(blanks) + 1);
        file.commands.push_back({number, line.substr(first)});
    }
    return file;
}

void Startup_Commands::run(Server& server, const std::function<bool()>& stop) const {
    for (const Line& line : commands) {
        if (stop()) return;
        std::string reply;
        CMD_Line::Console::cmd_parser(line.text, reply, server);
        if (reply_failed(reply)) {
            QUORIN_LOG(WARN, "Start-up command at line ", line.number, " failed: ", line.text, "\n", log_text(reply));
        } else {
            QUORIN_LOG(INFO, "Start-up command at line ", line.number, ": ", line.text, "\n", log_text(reply));
        }
    }
}

bool reply_failed(const std::string& reply) {
    for (std::size_t start = 0; start < reply.size();) {
        if (reply.compare(start, 6, "FAILED") == 0 || reply.compare(start, 2, ">-") == 0) return true;
        const auto end = reply.find('\n', start);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return false;
}

}  // namespace Quorin_Core::App
