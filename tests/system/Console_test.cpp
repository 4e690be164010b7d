#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <utility>
#include <vector>

#include "support/Free_Port.hpp"
#include "support/Server_Process.hpp"
#include "support/Tcp_Client.hpp"
#include "system/Expected_Replies.hpp"

namespace Quorin_Test {
namespace {

/// The console, driven through a pipe on standard input. Each reply is followed by the
/// console's own "\n".
class Console : public ::testing::Test {
protected:
    std::string reply_to(const std::string& line) {
        const auto reply = server.console_command(line);
        EXPECT_TRUE(reply) << "no prompt after [" << line << "]:\n" << server.out();
        return reply.value_or("<no reply>");
    }

    Server_Process server{Server_Process::options_with_ports()};
};

TEST_F(Console, parser_replies_are_those_over_tcp_and_only_the_bare_word_exit_is_special) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"help me", Expected::help_wrong_format},
        {"  help    me  ", Expected::help_wrong_format},
        {"   help   ", Expected::help_listing},
        {"HELP", Expected::unknown_command_with_listing},
        {"frobnicate", Expected::unknown_command_with_listing},
        {"frobnicate now", Expected::unknown_command},
        {"lsctrl now", "USAGE: lsctrl\r\n>-WRONG FORMAT\r\n"},
        {"", Expected::unknown_command_with_listing},
        {"    ", Expected::unknown_command_with_listing},
        {"exit ", Expected::unknown_command_with_listing},
        {" exit", Expected::unknown_command_with_listing},
        {"EXIT", Expected::unknown_command_with_listing},
        {"exit now", Expected::unknown_command},
    };
    for (const auto& [line, reply] : cases) EXPECT_EQ(reply_to(line), reply + "\n") << "[" << line << "]";
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
