#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/Free_Port.hpp"
#include "support/Log_Lines.hpp"
#include "support/Server_Process.hpp"
#include "support/Tcp_Client.hpp"
#include "support/Test_Helpers.hpp"
#include "system/Expected_Replies.hpp"

namespace Quorin_Test {
namespace {

constexpr std::size_t line_cap = 64 * 1024;
constexpr int connection_limit = 8;

/// The TCP control port of a running server.
class Control_Service : public ::testing::Test {
protected:
    std::unique_ptr<Tcp_Client> connect_and_serve() {
        auto client = std::make_unique<Tcp_Client>(port());
        EXPECT_EQ(client->command("help me"), Expected::help_wrong_format);
        return client;
    }

    /// "local:port remote:port" as lsctrl lists the connection of `client`.
    std::string record_of(const Tcp_Client& client) const {
        return "127.0.0.1:" + std::to_string(port()) + " 127.0.0.1:" + std::to_string(client.local_port());
    }

    std::string listing_of(const std::vector<const Tcp_Client*>& clients) const {
        std::string listing = "{\"connections\":[";
        for (std::size_t i = 0; i < clients.size(); ++i)
            listing += (i ? ",\"" : "\"") + record_of(*clients[i]) + "\"";
        return listing + "]}\r\n";
    }

    /// Asks lsctrl through `client` until it answers `expected` (closed clients are swept lazily).
    static bool eventually_lists(Tcp_Client& client, const std::string& expected) {
        std::optional<std::string> listing;
        if (eventually([&] { return (listing = client.command("lsctrl")) == expected; }, 10s)) return true;
        ADD_FAILURE() << "last listing: " << listing.value_or("<none>") << "\nexpected: " << expected;
        return false;
    }

    static void expect_reply(Tcp_Client& client, const std::string& line, const std::string& reply) {
        SCOPED_TRACE("line [" + line + "]");
        ASSERT_TRUE(client.send(line + "\n"));
        EXPECT_EQ(client.receive_exactly(reply.size()), reply);
    }

    /// Ends the server through its console and returns its log.
    std::vector<Log_Line> stop_and_read_log() {
        server.close_stdin();
        EXPECT_EQ(server.wait_exit(), 0);
        return log_lines(server.out());
    }

    std::uint16_t port() const { return server.ctrl_port(); }

    Server_Process server{Server_Process::options_with_ports()};
};

TEST_F(Control_Service, parser_replies_are_exact_with_or_without_a_carriage_return) {
    Tcp_Client client(port());
    // Had anything followed a reply (a prompt, an echo, a line end), it would come before the next.
    for (const auto& [line, reply] : std::vector<std::pair<std::string, std::string>>{
             {"help", Expected::help_listing},
             {"help me", Expected::help_wrong_format},
             {"help\r", Expected::help_listing},
             {"help me\r", Expected::help_wrong_format},
             {"", Expected::unknown_command_with_listing},
             {" \t ", Expected::unknown_command_with_listing},
             {"HELP", Expected::unknown_command_with_listing},
             {"frobnicate", Expected::unknown_command_with_listing},
             {"frobnicate now", Expected::unknown_command},
             {"help\tme", Expected::help_wrong_format},
             {"\thelp\v\f ", Expected::help_listing},
             {"lsctrl now", "USAGE: lsctrl\r\n>-WRONG FORMAT\r\n"},
             {"help me", Expected::help_wrong_format}})
        expect_reply(client, line, reply);
}

TEST_F(Control_Service, line_is_not_executed_before_its_line_feed_arrives) {
    Tcp_Client client(port());
    ASSERT_TRUE(client.send("help"));
    EXPECT_EQ(client.receive_for(300ms), "");
    ASSERT_TRUE(client.send(" me"));
    EXPECT_EQ(client.receive_for(100ms), "");
    ASSERT_TRUE(client.send("\n"));
    EXPECT_EQ(client.receive_exactly(Expected::help_wrong_format.size()), Expected::help_wrong_format);
}

TEST_F(Control_Service, many_back_to_back_lines_in_one_send_are_answered_whole_and_in_order) {
    Tcp_Client client(port());
    const std::vector<std::pair<std::string, std::string>> rotation{
        {"lsctrl", listing_of({&client})},
        {"help me", Expected::help_wrong_format},
        {"help", Expected::help_listing},
        {"frobnicate now", Expected::unknown_command}};
    std::string lines;
    std::string expected;
    for (int i = 0; i < 200; ++i) {
        const auto& [line, reply] = rotation[static_cast<std::size_t>(i) % rotation.size()];
        lines += line + "\n";
        expected += reply;
    }
    ASSERT_TRUE(client.send(lines));
    const auto replies = client.receive_exactly(expected.size());
    ASSERT_TRUE(replies) << "replies incomplete";
    EXPECT_TRUE(*replies == expected) << "replies differ from position "
                                      << std::mismatch(replies->begin(), replies->end(), expected.begin()).first -
                                             replies->begin();
    EXPECT_EQ(client.receive_for(100ms), "") << "more than one reply a line";
}

TEST_F(Control_Service, ninth_client_is_served_once_one_of_the_eight_has_closed) {
    std::vector<std::unique_ptr<Tcp_Client>> eight;
    for (int i = 0; i < connection_limit; ++i) eight.push_back(connect_and_serve());

    Tcp_Client ninth(port());  // the connection completes in the listen backlog
    ASSERT_TRUE(ninth.send("lsctrl\n"));
    EXPECT_EQ(ninth.receive_for(400ms), "") << "a ninth connection was served";

    eight.front()->close();
    const auto closed_at = std::chrono::steady_clock::now();
    const auto reply = ninth.receive_until("\r\n");
    const auto waited = std::chrono::steady_clock::now() - closed_at;
    ASSERT_TRUE(reply) << "the ninth client was never served";
    EXPECT_LT(waited, 2s) << "the free place was not noticed by the 100 ms retry";

    std::vector<const Tcp_Client*> listed;
    for (std::size_t i = 1; i < eight.size(); ++i) listed.push_back(eight[i].get());
    listed.push_back(&ninth);
    EXPECT_EQ(*reply, listing_of(listed));
}

TEST_F(Control_Service, lsctrl_lists_live_connections_in_order_of_acceptance_and_one_that_goes_is_logged_and_swept) {
    const auto leaving = connect_and_serve();
    const auto second = connect_and_serve();
    const auto third = connect_and_serve();
    EXPECT_EQ(second->command("lsctrl"), listing_of({leaving.get(), second.get(), third.get()}));
    leaving->close();
    ASSERT_TRUE(eventually_lists(*third, listing_of({second.get(), third.get()})));

    const auto lines = stop_and_read_log();
    ASSERT_EQ(count_messages_starting(lines, "Error recv ctrl-tcp data: "), 1u) << server.out();
    const auto error = find_message_starting(lines, "Error recv ctrl-tcp data: ");
    EXPECT_EQ(lines[*error].tag, "ERROR");
    EXPECT_NE(server.out().find("\nBytes recvd: 0\n"), std::string::npos);
    EXPECT_TRUE(find_message(lines, "A ctrl connection removed!", *error)) << server.out();
    EXPECT_TRUE(find_message(lines, "A ctrl socket closed!", *error)) << server.out();
    EXPECT_EQ(count_messages_starting(lines, "A ctrl connection removed!"), 1u);
}

TEST_F(Control_Service, longest_line_under_the_cap_is_answered_and_one_over_it_closes_only_its_connection) {
    const auto bystander = connect_and_serve();
    expect_reply(*bystander, std::string(line_cap - 1, 'x'), Expected::unknown_command_with_listing);
    expect_reply(*bystander, "help me", Expected::help_wrong_format);

    const auto flooder = connect_and_serve();
    ASSERT_TRUE(flooder->send(std::string(line_cap, 'x')));
    EXPECT_TRUE(flooder->wait_closed()) << "a line of 64 KiB without a line feed was kept";

    expect_reply(*bystander, "help me", Expected::help_wrong_format);
    EXPECT_TRUE(eventually_lists(*bystander, listing_of({bystander.get()})));

    const auto lines = stop_and_read_log();
    ASSERT_EQ(count_messages_starting(lines, "Error recv ctrl-tcp data: "), 1u) << server.out();
    EXPECT_EQ(lines[*find_message_starting(lines, "Error recv ctrl-tcp data: ")].tag, "ERROR");
}

/// Commands whose replies come to megabytes, far more than the socket buffers hold.
std::string flood_of_help_lines() {
    std::string flood;
    for (int i = 0; i < 10000; ++i) flood += "help\n";
    return flood;
}

TEST_F(Control_Service, client_that_never_reads_holds_up_nobody_and_is_swept_when_it_goes) {
    const auto reader = connect_and_serve();
    auto non_reader = std::make_unique<Tcp_Client>(port());
    ASSERT_TRUE(non_reader->send(flood_of_help_lines()));

    expect_reply(*reader, "help me", Expected::help_wrong_format);
    expect_reply(*reader, "help", Expected::help_listing);
    EXPECT_EQ(reader->command("lsctrl"), listing_of({reader.get(), non_reader.get()}));

    non_reader->close();  // with replies unread: the server's sends fail
    EXPECT_TRUE(eventually_lists(*reader, listing_of({reader.get()})))
        << "the dead connection keeps one of the eight places";
}

}  // namespace
}  // namespace Quorin_Test
