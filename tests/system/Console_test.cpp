#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <string>

#include "support/Free_Port.hpp"
#include "support/Log_Lines.hpp"
#include "support/Server_Process.hpp"
#include "support/Tcp_Client.hpp"
#include "system/Expected_Replies.hpp"

namespace Quorin_Test {
namespace {

const std::string prompt = "\nQuorin Core: ";

/// The console, driven through a pipe on standard input. Each reply is followed by the
/// console's own "\n".
class Console : public ::testing::Test {
protected:
    std::string reply_to(const std::string& line) {
        const auto reply = server.console_command(line);
        EXPECT_TRUE(reply) << "no prompt after [" << line << "]:\n" << server.out();
        return reply.value_or("<no reply>");
    }

    /// What the console printed from its last prompt on, log lines left out.
    std::string console_tail() const {
        const std::string out = server.out();
        return without_log_lines(out.substr(out.rfind(prompt)));
    }

    Server_Process server{Server_Process::options_with_ports()};
};

TEST_F(Console, help_prints_the_exact_listing) {
    EXPECT_EQ(reply_to("help"), Expected::help_listing + "\n");
}

TEST_F(Console, parser_errors_are_answered_like_over_tcp) {
    EXPECT_EQ(reply_to("help me"), Expected::help_wrong_format + "\n");
    EXPECT_EQ(reply_to("  help    me  "), Expected::help_wrong_format + "\n");
    EXPECT_EQ(reply_to("   help   "), Expected::help_listing + "\n");
    EXPECT_EQ(reply_to("HELP"), Expected::unknown_command_with_listing + "\n");
    EXPECT_EQ(reply_to("frobnicate"), Expected::unknown_command_with_listing + "\n");
    EXPECT_EQ(reply_to("frobnicate now"), Expected::unknown_command + "\n");
    EXPECT_EQ(reply_to("lsctrl now"), "USAGE: lsctrl\r\n>-WRONG FORMAT\r\n\n");
}

TEST_F(Console, empty_and_blank_lines_get_the_listing_and_unknown_command) {
    EXPECT_EQ(reply_to(""), Expected::unknown_command_with_listing + "\n");
    EXPECT_EQ(reply_to("    "), Expected::unknown_command_with_listing + "\n");
}

TEST_F(Console, exit_with_a_blank_is_an_ordinary_unknown_command) {
    EXPECT_EQ(reply_to("exit "), Expected::unknown_command_with_listing + "\n");
    EXPECT_EQ(reply_to(" exit"), Expected::unknown_command_with_listing + "\n");
    EXPECT_EQ(reply_to("EXIT"), Expected::unknown_command_with_listing + "\n");
    EXPECT_EQ(reply_to("exit now"), Expected::unknown_command + "\n");
}

TEST_F(Console, exit_ends_the_program_with_status_0_and_no_reply) {
    ASSERT_EQ(reply_to("help me"), Expected::help_wrong_format + "\n");
    server.send_line("exit");
    ASSERT_EQ(server.wait_exit(), 0);
    EXPECT_EQ(console_tail(), prompt + "> exit\n");
    EXPECT_EQ(server.err(), "");
}

TEST_F(Console, end_of_input_ends_the_program_with_status_0_and_no_reply) {
    ASSERT_EQ(reply_to("help me"), Expected::help_wrong_format + "\n");
    server.close_stdin();
    ASSERT_EQ(server.wait_exit(), 0);
    EXPECT_THAT(console_tail(), ::testing::AnyOf(prompt + "> ", prompt + "> \n"));
    EXPECT_EQ(server.err(), "");
}

TEST_F(Console, lsctrl_lists_the_tcp_clients) {
    EXPECT_EQ(reply_to("lsctrl"), Expected::no_connections + "\n");
    Tcp_Client client(server.ctrl_port());
    ASSERT_EQ(client.command("help me"), Expected::help_wrong_format);  // accepted and served
    EXPECT_EQ(reply_to("lsctrl"), "{\"connections\":[\"127.0.0.1:" + std::to_string(server.ctrl_port()) +
                                      " 127.0.0.1:" + std::to_string(client.local_port()) + "\"]}\r\n\n");
}

TEST_F(Console, console_and_tcp_commands_run_side_by_side) {
    constexpr int rounds = 40;
    Tcp_Client client(server.ctrl_port());
    auto tcp_replies = std::async(std::launch::async, [&] {
        std::string lines;
        for (int i = 0; i < rounds; ++i) lines += "help\nhelp me\n";
        if (!client.send(lines)) return std::string("<send failed>");
        return client.receive_exactly(rounds * (Expected::help_listing.size() + Expected::help_wrong_format.size()))
            .value_or("<incomplete>");
    });
    for (int i = 0; i < rounds; ++i) {
        ASSERT_EQ(reply_to("help"), Expected::help_listing + "\n");
        ASSERT_EQ(reply_to("help me"), Expected::help_wrong_format + "\n");
    }
    std::string expected_tcp;
    for (int i = 0; i < rounds; ++i) expected_tcp += Expected::help_listing + Expected::help_wrong_format;
    EXPECT_EQ(tcp_replies.get(), expected_tcp);
}

}  // namespace
}  // namespace Quorin_Test
