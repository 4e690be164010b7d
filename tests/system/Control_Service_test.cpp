#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <future>

#include "support/Server_Process.hpp"
#include "support/Tcp_Client.hpp"
#include "system/Expected_Replies.hpp"

namespace Quorin_Test {
namespace {

/// A running server's command channels: the TCP control port, and the console driven through
/// a pipe on standard input, where each reply is followed by the console's own "\n".
class Control_Service : public ::testing::Test {
protected:
    std::string reply_to(const std::string& line) {
        const auto reply = server.console_command(line);
        EXPECT_TRUE(reply) << "no prompt after [" << line << "]:\n" << server.out();
        return reply.value_or("<no reply>");
    }

    std::unique_ptr<Tcp_Client> connect_and_serve() {
        auto client = std::make_unique<Tcp_Client>(server.ctrl_port());
        EXPECT_EQ(client->command("help me"), Expected::help_wrong_format);
        return client;
    }

    /// lsctrl's reply: the connections of `clients` as "local:port remote:port".
    std::string listing_of(const std::vector<const Tcp_Client*>& clients) const {
        std::string listing = "{\"connections\":[";
        for (const auto* client : clients)
            listing += std::string(client == clients.front() ? "\"" : ",\"") + "127.0.0.1:" +
                       std::to_string(server.ctrl_port()) + " 127.0.0.1:" + std::to_string(client->local_port()) + "\"";
        return listing + "]}\r\n";
    }

    /// Asks lsctrl through `client` until it answers `expected` (closed clients are swept lazily).
    static bool eventually_lists(Tcp_Client& client, const std::string& expected) {
        return eventually([&] { return client.command("lsctrl") == expected; }, 10s);
    }

    Server_Process server{Server_Process::options_with_ports()};
};

using Console = Control_Service;

TEST_F(Console, replies_are_the_parsers_with_a_line_feed_only_the_bare_word_exit_is_special_and_tcp_runs_alongside) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"  help    me  ", Expected::help_wrong_format}, {"   help   ", Expected::help_listing},
        {"", Expected::unknown_command_with_listing}, {"exit ", Expected::unknown_command_with_listing},
        {" exit", Expected::unknown_command_with_listing}, {"EXIT", Expected::unknown_command_with_listing},
        {"HELP", Expected::unknown_command_with_listing},  // names are case-sensitive
        {"exit now", Expected::unknown_command}, {"lsctrl", listing_of({})},
        {"lsport now", "USAGE: lsport\r\n>-WRONG FORMAT\r\n"}};
    for (const auto& [line, reply] : cases) EXPECT_EQ(reply_to(line), reply + "\n") << "[" << line << "]";
    // lsport answers one JSON line of the machine's ports.
    const std::string reply = reply_to("lsport");
    ASSERT_TRUE(reply.ends_with("]}\r\n\n")) << reply;
    const auto listing = nlohmann::json::parse(reply);
    for (const auto& port : listing.at("ports"))
        EXPECT_TRUE(port.get<std::string>().starts_with("/dev/tty")) << port;

    // Console and TCP commands side by side.
    Tcp_Client client(server.ctrl_port());
    std::string lines, expected;
    for (int i = 0; i < 40; ++i) lines += "help\nhelp me\n", expected += Expected::help_listing + Expected::help_wrong_format;
    auto tcp_replies = std::async(std::launch::async, [&] {
        return client.send(lines + "lsctrl\n") ? client.receive_until("]}\r\n") : std::nullopt;
    });
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(reply_to("help"), Expected::help_listing + "\n");
        ASSERT_EQ(reply_to("help me"), Expected::help_wrong_format + "\n");
    }
    EXPECT_EQ(tcp_replies.get(), expected + listing_of({&client}));
    EXPECT_EQ(reply_to("lsctrl"), listing_of({&client}) + "\n");
}

TEST_F(Control_Service, each_line_gets_exactly_its_reply_once_its_line_feed_has_come) {
    Tcp_Client client(server.ctrl_port());
    const auto other = connect_and_serve();
    // A line in pieces: a round trip on another connection after each piece lets the server
    // see it, and a reply to "help" alone would come first.
    ASSERT_TRUE(client.send("help"));
    ASSERT_EQ(other->command("help me"), Expected::help_wrong_format);
    ASSERT_TRUE(client.send(" me"));
    ASSERT_EQ(other->command("help me"), Expected::help_wrong_format);
    const std::vector<std::pair<std::string, std::string>> rotation{
        {"help\r", Expected::help_listing}, {"help me\r", Expected::help_wrong_format},
        {"", Expected::unknown_command_with_listing}, {"\thelp\v\f ", Expected::help_listing},
        {"lsctrl now", "USAGE: lsctrl\r\n>-WRONG FORMAT\r\n"}, {"frobnicate now", Expected::unknown_command}};
    // A thousand lines sent back to back before any reply is read.
    std::string lines = "\n", expected = Expected::help_wrong_format;
    for (int i = 0; i < 1000; ++i) lines += rotation[i % 6].first + "\n", expected += rotation[i % 6].second;
    // lsctrl's reply, the only one ending in "]}\r\n", marks the end: nothing else comes before it.
    ASSERT_TRUE(client.send(lines + "lsctrl\n"));
    const auto replies = client.receive_until("]}\r\n");
    ASSERT_TRUE(replies);
    EXPECT_TRUE(*replies == expected + listing_of({&client, other.get()}))
        << "replies differ from byte " << std::ranges::mismatch(*replies, expected).in1 - replies->begin();
}

TEST_F(Control_Service, ninth_client_is_served_once_one_of_the_eight_has_closed) {
    std::vector<std::unique_ptr<Tcp_Client>> eight;
    for (int i = 0; i < 8; ++i) eight.push_back(connect_and_serve());
    Tcp_Client ninth(server.ctrl_port());  // the connection completes in the listen backlog
    ASSERT_TRUE(ninth.send("lsctrl\n"));
    ASSERT_EQ(eight.back()->command("help me"), Expected::help_wrong_format);

    // Had the ninth been served before, its listing would hold the first of the eight.
    eight.front()->close();
    std::vector<const Tcp_Client*> listed;
    for (std::size_t i = 1; i <= 8; ++i) listed.push_back(i < 8 ? eight[i].get() : &ninth);
    EXPECT_EQ(ninth.receive_until("\r\n"), listing_of(listed));
}

TEST_F(Control_Service, connections_are_listed_in_order_and_one_that_goes_or_sends_too_long_a_line_is_closed_and_swept) {
    const auto leaving = connect_and_serve(), second = connect_and_serve(), third = connect_and_serve();
    EXPECT_EQ(second->command("lsctrl"), listing_of({leaving.get(), second.get(), third.get()}));
    leaving->close();
    ASSERT_TRUE(eventually_lists(*third, listing_of({second.get(), third.get()})));

    // The longest line is answered; one byte more without a line feed closes only its connection.
    EXPECT_EQ(second->command(std::string(64 * 1024 - 1, 'x'), ">-UNKNOWN COMMAND\r\n"),
              Expected::unknown_command_with_listing);
    const auto flooder = connect_and_serve();
    ASSERT_TRUE(flooder->send(std::string(64 * 1024, 'x')));
    EXPECT_TRUE(flooder->wait_closed());
    EXPECT_EQ(second->command("help me"), Expected::help_wrong_format);
    EXPECT_TRUE(eventually_lists(*third, listing_of({second.get(), third.get()})));

    const std::string flooder_port = std::to_string(flooder->local_port());
    server.close_stdin();
    ASSERT_EQ(server.wait_exit(), 0);
    std::vector<std::string> closing;
    for (const auto& line : log_lines(server.out()))
        if (line.message.starts_with("Error recv") || line.message.starts_with("A ctrl")) closing.push_back(line.tagged());
    const std::string recv_error = "[ERROR] Error recv ctrl-tcp data: ", removed = "[INFO ] A ctrl connection removed!",
                      closed = "[INFO ] A ctrl socket closed!";
    EXPECT_THAT(closing, ::testing::ElementsAre(recv_error + "End of file", removed, closed,
                                                recv_error + "command line from 127.0.0.1:" + flooder_port +
                                                    " exceeds 65536 bytes, closing the connection",
                                                closed, removed, closed, closed));
    EXPECT_THAT(server.out(), ::testing::HasSubstr("] " + recv_error + "End of file\nBytes recvd: 0\n"));
}

TEST_F(Control_Service, client_that_never_reads_holds_up_nobody_and_is_swept_when_it_goes) {
    const auto reader = connect_and_serve();
    auto non_reader = std::make_unique<Tcp_Client>(server.ctrl_port());
    std::string flood;  // replies of megabytes, far more than the socket buffers hold
    for (int i = 0; i < 10000; ++i) flood += "help\n";
    ASSERT_TRUE(non_reader->send(flood));

    EXPECT_EQ(reader->command("help", "\n\n"), Expected::help_listing);
    EXPECT_EQ(reader->command("lsctrl"), listing_of({reader.get(), non_reader.get()}));
    non_reader->close();  // with replies unread: the server's sends fail
    EXPECT_TRUE(eventually_lists(*reader, listing_of({reader.get()})))
        << "the dead connection keeps one of the eight places";
}

TEST(Control_Access, listen_ip_and_allow_keep_clients_out_and_idle_ones_are_closed_so_the_ninth_is_served) {
    const Server_Ports ports;
    Server_Process server({.config = ports.config() + "[control_service]\nlisten_ip = 127.0.0.1\nallow = 127.0.0.1, ::1\nidle_s = 1\n",
                           .control_port = ports.control});
    EXPECT_THROW(Tcp_Client(ports.control, "127.0.0.2"), std::runtime_error) << "listens on 127.0.0.1 only";
    Tcp_Client outsider(ports.control, "127.0.0.1", "127.0.0.2");
    EXPECT_TRUE(outsider.wait_closed()) << "a client outside the list is closed at once";
    EXPECT_TRUE(server.wait_for_output("[WARN ] Control connection from 127.0.0.2 refused: not in control_service->allow\n"));

    std::vector<std::unique_ptr<Tcp_Client>> eight;
    for (int i = 0; i < 8; ++i) eight.push_back(std::make_unique<Tcp_Client>(ports.control));
    Tcp_Client ninth(ports.control);  // waits in the listen backlog while the eight sit idle
    ASSERT_TRUE(ninth.send("lsdev\n"));
    EXPECT_EQ(ninth.receive_until("\r\n", 60s), "{\"devices\":[]}\r\n");
    for (auto& idle : eight) EXPECT_TRUE(idle->wait_closed(60s));
    EXPECT_TRUE(eventually([&] { return count_messages_starting(log_lines(server.out()), "Control connection from 127.0.0.1:") >= 8; }, 10s));
    EXPECT_THAT(server.out(), ::testing::HasSubstr(" idle for 1 s, closing it\n"));
}

}  // namespace
}  // namespace Quorin_Test
