#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <future>

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

TEST_F(Console, replies_are_those_of_the_parser_and_only_the_bare_word_exit_is_special) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"  help    me  ", Expected::help_wrong_format},
        {"   help   ", Expected::help_listing},
        {"", Expected::unknown_command_with_listing},
        {"exit ", Expected::unknown_command_with_listing},
        {" exit", Expected::unknown_command_with_listing},
        {"EXIT", Expected::unknown_command_with_listing},
        {"exit now", Expected::unknown_command},
        {"lsctrl", "{\"connections\":[]}\r\n"},
        {"lsport now", "USAGE: lsport\r\n>-WRONG FORMAT\r\n"}};
    for (const auto& [line, reply] : cases) EXPECT_EQ(reply_to(line), reply + "\n") << "[" << line << "]";
}

TEST_F(Console, lsport_answers_one_json_line_of_dev_paths) {
    const std::string reply = reply_to("lsport");
    ASSERT_TRUE(reply.ends_with("]}\r\n\n")) << reply;
    const auto ports = nlohmann::json::parse(reply).at("ports");
    for (const auto& port : ports) EXPECT_TRUE(port.get<std::string>().starts_with("/dev/tty")) << port;
}

TEST_F(Console, console_and_tcp_commands_run_side_by_side) {
    Tcp_Client client(server.ctrl_port());
    const std::string listing = "{\"connections\":[\"127.0.0.1:" + std::to_string(server.ctrl_port()) +
                                " 127.0.0.1:" + std::to_string(client.local_port()) + "\"]}\r\n";
    std::string lines, expected;
    for (int i = 0; i < 40; ++i) {
        lines += "help\nhelp me\n";
        expected += Expected::help_listing + Expected::help_wrong_format;
    }
    auto tcp_replies = std::async(std::launch::async, [&] {
        return client.send(lines + "lsctrl\n") ? client.receive_until("]}\r\n") : std::nullopt;
    });
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(reply_to("help"), Expected::help_listing + "\n");
        ASSERT_EQ(reply_to("help me"), Expected::help_wrong_format + "\n");
    }
    EXPECT_EQ(tcp_replies.get(), expected + listing);
    EXPECT_EQ(reply_to("lsctrl"), listing + "\n");
}

}  // namespace
}  // namespace Quorin_Test
