#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/Pty_Pair.hpp"
#include "support/Server_Process.hpp"

namespace Quorin_Test {
namespace {

// The version block: name and version, the old name, and "Build: " type ", " compiler " "
// version ", " system "/" processor ", " ISO time " @" host.
const auto version_block = ::testing::MatchesRegex(
    "quorin v1\\.1\\.0\nQuorin Core-Socket, old name = mirelon data server\n"
    "Build: [^,\n]+, [^ ,\n]+ [^,\n]+, [^/,\n]+/[^,\n]+, "
    "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[+-][0-9]{4} @[^\n]*\n");
const std::string usage_block = std::string("Usage: ") + QUORIN_BINARY + " [OPTIONS]\nOptions:\n"
                                "  --version, -v     Show version information\n"
                                "  --help, -h        Show this help message\n"
                                "  --debug, -d       Enable debug logging\n";

std::string unknown(const std::string& arg) {
    return "Error: Unknown option " + arg + "\nUse --help for usage information\n";
}

TEST(Options, the_first_option_that_is_not_debug_decides_the_output_and_ends_the_program) {
    struct Case {
        std::vector<std::string> args;
        int status;
        ::testing::Matcher<std::string> out;
        std::string err;
    };
    const std::vector<Case> cases{
        {{"--version"}, 0, version_block, ""},
        {{"-v", "-x"}, 0, version_block, ""},
        {{"-d", "--version"}, 0, version_block, ""},
        {{"-v", "--help"}, 0, version_block, ""},
        {{"--help"}, 0, usage_block, ""},
        {{"-h", "--bogus"}, 0, usage_block, ""},
        {{"-d", "-h", "-v"}, 0, usage_block, ""},
        {{"--Debug"}, 1, "", unknown("--Debug")},  // options are case-sensitive
        {{"-dv"}, 1, "", unknown("-dv")},          // and cannot be combined
        {{"debug"}, 1, "", unknown("debug")},
        {{"--debug=1"}, 1, "", unknown("--debug=1")},
        {{""}, 1, "", unknown("")},
        {{"-x", "--version"}, 1, "", unknown("-x")},  // the later one is never looked at
        {{"--debug", "-d", "-q"}, 1, "", unknown("-q")}};
    for (const auto& [args, status, out, err] : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        // Free ports in place, so that a run which wrongly starts the server stays off the defaults.
        auto options = Server_Process::options_with_ports();
        options.args = args;
        options.wait_until_started = false;
        Server_Process process(options);
        EXPECT_EQ(process.wait_exit(), status);
        EXPECT_THAT(process.out(), out);
        EXPECT_EQ(process.err(), err);
    }
}

TEST(Options, debug_given_twice_starts_the_server_logging_debug_lines) {
    auto options = Server_Process::options_with_ports();
    options.args = {"--debug", "-d"};
    Server_Process server(options);
    Pty_Pair line;
    EXPECT_EQ(server.console_command("bind hand " + line.port_path()),
              "OK bind device [hand] to port [" + line.port_path() + "]\r\n\n");
    server.close_stdin();
    EXPECT_EQ(server.wait_exit(), 0);
    EXPECT_THAT(server.out(), ::testing::HasSubstr("] [DEBUG] Low-latency mode not available on serial port [" +
                                                   line.port_path() + "]: "));
    EXPECT_EQ(server.err(), "");
}

}  // namespace
}  // namespace Quorin_Test
