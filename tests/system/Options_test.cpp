#include <gtest/gtest.h>

#include <regex>
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

/// The version block: name and version, the old name, and "Build: " type ", " compiler " "
/// version ", " system "/" processor ", " ISO time " @" host.
bool is_version_block(const std::string& out) {
    static const std::regex block(
        "quorin v1\\.1\\.0\n"
        "Quorin Core-Socket, old name = mirelon data server\n"
        "Build: [^,\n]+, [^ ,\n]+ [^,\n]+, [^/,\n]+/[^,\n]+, "
        "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[+-][0-9]{4} @[^\n]*\n");
    return std::regex_match(out, block);
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
