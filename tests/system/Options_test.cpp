#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/Free_Port.hpp"
#include "support/Server_Process.hpp"

namespace Quorin_Test {
namespace {

struct Finished_Run {
    std::optional<int> status;
    std::string out;
    std::string err;
};

/// Runs the binary with `args` until it ends by itself. A config with free ports is in place,
/// so that a run which wrongly starts the server stays off the default ports.
Finished_Run run_with(const std::vector<std::string>& args) {
    auto options = Server_Process::options_with_ports();
    options.args = args;
    options.wait_until_started = false;
    Server_Process process(options);
    const auto status = process.wait_exit(10s);
    return {status, process.out(), process.err()};
}

std::string describe(const std::vector<std::string>& args) {
    std::string text = "arguments:";
    for (const auto& arg : args) text += " [" + arg + "]";
    return text;
}

/// Whether `text` has the shape of `shape`: '9' stands for a digit, '+' for a sign, and
/// every other character for itself.
bool has_shape(const std::string& text, const std::string& shape) {
    if (text.size() != shape.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool fits = shape[i] == '9'   ? c >= '0' && c <= '9'
                          : shape[i] == '+' ? c == '+' || c == '-'
                                            : c == shape[i];
        if (!fits) return false;
    }
    return true;
}

/// "Build: " type ", " compiler " " version ", " system "/" processor ", " ISO time " @" host.
bool is_build_line(const std::string& line) {
    if (!line.starts_with("Build: ")) return false;
    const auto host_at = line.find(" @");
    const auto time_at = line.rfind(", ", host_at);
    if (host_at == std::string::npos || time_at == std::string::npos) return false;
    const std::string fields = line.substr(7, time_at - 7);  // type, compiler and version, system/processor
    const auto first_comma = fields.find(", ");
    const auto second_comma = fields.find(", ", first_comma + 1);
    return first_comma != std::string::npos && second_comma != std::string::npos &&
           fields.find(' ', first_comma + 2) < second_comma && fields.find('/', second_comma) != std::string::npos &&
           has_shape(line.substr(time_at + 2, host_at - time_at - 2), "9999-99-99T99:99:99+9999");
}

bool is_version_block(const std::string& out) {
    const std::string head = "quorin v1.1.0\nQuorin Core-Socket, old name = mirelon data server\n";
    if (!out.starts_with(head) || !out.ends_with("\n")) return false;
    const std::string build_line = out.substr(head.size(), out.size() - head.size() - 1);
    return build_line.find('\n') == std::string::npos && is_build_line(build_line);
}

const std::string usage_block = std::string("Usage: ") + QUORIN_BINARY +
                                " [OPTIONS]\n"
                                "Options:\n"
                                "  --version, -v     Show version information\n"
                                "  --help, -h        Show this help message\n"
                                "  --debug, -d       Enable debug logging\n";

std::string unknown_option_message(const std::string& arg) {
    return "Error: Unknown option " + arg + "\nUse --help for usage information\n";
}

TEST(Options, version_block_is_printed_and_ends_the_program_before_later_arguments) {
    const std::vector<std::vector<std::string>> argument_lists{
        {"--version"}, {"-v"}, {"--version", "--Debug"}, {"-v", "-x"}, {"-d", "--version"}, {"-v", "--help"}};
    for (const auto& args : argument_lists) {
        SCOPED_TRACE(describe(args));
        const Finished_Run run = run_with(args);
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(is_version_block(run.out)) << run.out;
        EXPECT_EQ(run.err, "");
    }
}

TEST(Options, usage_block_names_the_program_as_invoked) {
    const std::vector<std::vector<std::string>> argument_lists{
        {"--help"}, {"-h"}, {"-d", "--help"}, {"-h", "--bogus"}, {"-h", "-v"}};
    for (const auto& args : argument_lists) {
        SCOPED_TRACE(describe(args));
        const Finished_Run run = run_with(args);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, usage_block);
        EXPECT_EQ(run.err, "");
    }
}

TEST(Options, unknown_option_goes_to_standard_error_with_status_1) {
    struct Case {
        std::vector<std::string> args;
        std::string rejected;
    };
    const std::vector<Case> cases{
        {{"--Debug"}, "--Debug"},       // options are case-sensitive
        {{"-dv"}, "-dv"},               // and cannot be combined
        {{"debug"}, "debug"},           {{"--debug=1"}, "--debug=1"},
        {{""}, ""},                     {{"-d", "-x"}, "-x"},
        {{"-x", "--version"}, "-x"},    // the first argument decides; the later one is never looked at
        {{"--debug", "--debug", "-q"}, "-q"},
    };
    for (const auto& [args, rejected] : cases) {
        SCOPED_TRACE(describe(args));
        const Finished_Run run = run_with(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, unknown_option_message(rejected));
    }
}

TEST(Options, debug_option_given_twice_starts_the_server) {
    auto options = Server_Process::options_with_ports();
    options.args = {"--debug", "-d"};
    Server_Process server(options);
    EXPECT_EQ(server.console_command("help me"), "USAGE: help\r\n>-WRONG FORMAT\r\n\n");
    server.close_stdin();
    EXPECT_EQ(server.wait_exit(), 0);
    EXPECT_EQ(server.err(), "");
}

}  // namespace
}  // namespace Quorin_Test
