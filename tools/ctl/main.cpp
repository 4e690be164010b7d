// quorin-ctl: sends command lines to the server's TCP control port and prints each reply
// exactly as it comes. See --help; Ctl_Client.hpp tells how a reply's end is found.
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "Ctl_Client.hpp"

namespace {

constexpr const char* program = "quorin-ctl";
constexpr std::uint16_t default_port = 50000;

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;       ///< a reply line began with "FAILED" or ">-", or a usage error
constexpr int exit_unreachable = 2;  ///< no connection, or it ended before every reply came

const char* const usage_text =
    "usage: quorin-ctl [--host HOST] [--port PORT] [--] [COMMAND...]\n"
    "Sends COMMAND (its words joined by blanks) to the server's TCP control port and prints the\n"
    "reply exactly as it comes. Without COMMAND, sends each line of standard input in turn and\n"
    "prints each reply; blank lines are skipped.\n"
    "  --host HOST  the server's host (default 127.0.0.1)\n"
    "  --port PORT  its control port (default 50000)\n"
    "  -h, --help   this text\n"
    "Exit status: 0 if no reply line begins with \"FAILED\" or \">-\"; 1 if one does, or on a usage\n"
    "error; 2 if it cannot connect, or the connection ends before every reply has come.\n";

struct Arguments {
    std::string host = "127.0.0.1";
    std::uint16_t port = default_port;
    bool help = false;
    std::vector<std::string> command;  ///< its words; none: the lines of standard input
};

bool is_blank(std::string_view line) {
    return std::all_of(line.begin(), line.end(), [](unsigned char c) { return std::isspace(c) != 0; });
}

bool parse_port(const std::string& text, std::uint16_t& port) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    return error == std::errc() && end == text.data() + text.size() && port != 0;
}

/// Why the command's words make no single command line, or nothing.
std::optional<std::string> check_command(const std::vector<std::string>& words) {
    std::string line;
    for (const auto& word : words) {
        if (word.find_first_of("\r\n") != std::string::npos) return "a command word holds a line break";
        line += word;
    }
    if (!words.empty() && is_blank(line)) return "the command is blank";
    return std::nullopt;
}

/// Reads the options before the command's words; returns why they are wrong, or nothing.
std::optional<std::string> parse_arguments(int argc, char** argv, Arguments& arguments) {
    int next = 1;
    for (; next < argc && argv[next][0] == '-'; ++next) {
        const std::string option = argv[next];
        if (option == "--") {
            ++next;
            break;
        }
        if (option == "-h" || option == "--help") {
            arguments.help = true;
            continue;
        }
        if (option != "--host" && option != "--port") return "unknown option " + option;
        if (next + 1 == argc) return option + " needs a value";
        const std::string value = argv[++next];
        if (option == "--host") arguments.host = value;
        else if (!parse_port(value, arguments.port)) return "bad port " + value;
    }
    arguments.command.assign(argv + next, argv + argc);
    return check_command(arguments.command);
}

/// Whether a line of `reply` begins with "FAILED" or ">-".
bool reply_failed(const std::string& reply) {
    for (std::size_t start = 0; start != std::string::npos;) {
        const auto line = std::string_view(reply).substr(start);
        if (line.starts_with("FAILED") || line.starts_with(">-")) return true;
        const auto end = reply.find('\n', start);
        start = end == std::string::npos ? end : end + 1;
    }
    return false;
}

/// Sends `line`, prints its reply and tells whether the reply reports a failure.
bool run_line(Quorin_Tools::Ctl_Client& client, const std::string& line) {
    const std::string reply = client.command(line);
    std::fwrite(reply.data(), 1, reply.size(), stdout);
    std::fflush(stdout);
    return reply_failed(reply);
}

int run(Quorin_Tools::Ctl_Client& client, const std::vector<std::string>& command) {
    bool failed = false;
    if (!command.empty()) {
        std::string line = command.front();
        for (auto word = command.begin() + 1; word != command.end(); ++word) line += " " + *word;
        failed = run_line(client, line);
    } else {
        // A blank line would only draw the help listing and ">-UNKNOWN COMMAND".
        for (std::string line; std::getline(std::cin, line);)
            if (!is_blank(line)) failed = run_line(client, line) || failed;
    }
    return failed ? exit_failed : exit_ok;
}

int unreachable(const std::string& what, const boost::system::system_error& error) {
    std::cerr << program << ": " << what << ": " << error.code().message() << "\n";
    return exit_unreachable;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments arguments;
    if (const auto problem = parse_arguments(argc, argv, arguments)) {
        std::cerr << program << ": " << *problem << " (see --help)\n";
        return exit_failed;
    }
    if (arguments.help) {
        std::cout << usage_text;
        return exit_ok;
    }
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);  // the replies' bytes as they come, no "\n" made "\r\n"
#endif
    const std::string server = arguments.host + ":" + std::to_string(arguments.port);
    std::optional<Quorin_Tools::Ctl_Client> client;
    try {
        client.emplace(arguments.host, arguments.port);
    } catch (const boost::system::system_error& error) {
        return unreachable("cannot connect to " + server, error);
    }
    try {
        return run(*client, arguments.command);
    } catch (const boost::system::system_error& error) {
        return unreachable("connection to " + server + " lost", error);
    }
}
