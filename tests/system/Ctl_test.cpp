#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/Server_Process.hpp"
#include "system/Expected_Replies.hpp"

// quorin-ctl against the real binary: the replies' bytes as the server sent them, and its exit status.
namespace Quorin_Test {
namespace {

#ifdef QUORIN_CTL_BINARY
struct Ctl_Run {
    int status;
    std::string out, err;
};

/// Runs quorin-ctl with `args` to its end, `lines` on its standard input.
Ctl_Run run_ctl(std::vector<std::string> args, const std::vector<std::string>& lines = {}) {
    Server_Process ctl({.args = std::move(args), .wait_until_started = false, .command = {QUORIN_CTL_BINARY}});
    for (const auto& line : lines) ctl.send_line(line);
    ctl.close_stdin();
    const auto status = ctl.wait_exit();
    return {status.value_or(-1), ctl.out(), ctl.err()};
}

TEST(Ctl, prints_each_reply_whole_and_in_order_and_exits_1_after_a_failing_one) {
    Server_Process server(Server_Process::options_with_ports());
    const std::string port = std::to_string(server.ctrl_port()), no_devices = "{\"devices\":[]}\r\n";
    const auto one = run_ctl({"--port", port, "lsdev"});
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.out, no_devices);

    const auto words = run_ctl({"--port", port, "help", "me"});
    EXPECT_EQ(words.status, 1) << words.err;
    EXPECT_EQ(words.out, Expected::help_wrong_format);

    // A blank line is skipped; a reply the server cuts at 8192 bytes ends where it was cut.
    const std::string long_name(9000, 'x');
    const auto lines = run_ctl({"--port", port}, {"help", " ", "dev " + long_name + " -o", "lsdev"});
    EXPECT_EQ(lines.status, 1) << lines.err;
    EXPECT_EQ(lines.out, Expected::help_listing + ("FAILED to find device [" + long_name).substr(0, 8192) + no_devices);
}

TEST(Ctl, exits_2_with_one_line_when_nothing_listens_and_1_on_a_usage_error) {
    const auto refused = run_ctl({"--port", std::to_string(free_port()), "lsdev"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.out, "");
    EXPECT_THAT(refused.err, ::testing::MatchesRegex("quorin-ctl: cannot connect to 127\\.0\\.0\\.1:[0-9]+: [^\n]+\n"));

    const auto usage = run_ctl({"--port", "65536", "lsdev"});
    EXPECT_EQ(usage.status, 1);
    EXPECT_EQ(usage.err, "quorin-ctl: bad port 65536 (see --help)\n");
}
#endif

}  // namespace
}  // namespace Quorin_Test
