#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <string>

#include "support/Locked_Line.hpp"
#include "support/Log_Lines.hpp"
#include "system/Device_Harness.hpp"

// Devices bound to simulated devices and taken through their life: open, close, delete, and
// the server's shutdown.
namespace Quorin_Test {
namespace {

using Device_Lifecycle = Device_Server_Test;

std::string session_starting(const std::string& port) { return "[INFO ] Session starting on [" + port + "]..."; }
std::string session_started(const std::string& port) { return "[INFO ] Session started on [" + port + "]!"; }
std::string session_stopped(const std::string& port) { return "[INFO ] Session stopped on [" + port + "]!"; }
std::string port_closed(const std::string& port) { return "[INFO ] Serial port [" + port + "] closed!"; }

TEST_F(Device_Lifecycle, bind_close_open_open_again_close_open_delete) {
    const Device_Simulator& device = simulator("sim");
    const std::string port = device.link_path(), already_started = "[WARN ] Session already started on [" + port + "]!";
    ASSERT_EQ(ask("bind a " + port), Expected::bound("a", port));
    EXPECT_TRUE(Locked_Line::held_by_someone(port)) << "bind opens the port at once";
    EXPECT_EQ(ask("dev a -c"), Expected::closed("a")) << "closing a device that never ran";
    ASSERT_EQ(ask("dev a -o"), Expected::opened("a"));
    ASSERT_TRUE(logged(session_started(port)));
    EXPECT_EQ(ask("dev a -o"), Expected::usage_reply("dev", "EXCEPTION")) << "no line of its own";
    ASSERT_EQ(ask("dev a -c"), Expected::closed("a"));
    expect_replies({{"lsbind", "{\"binds\":[\"a " + port + "\"]}\r\n"}, {"dev a -o", Expected::opened("a")}});
    ASSERT_EQ(ask("dev a -d"), Expected::destroyed("a"));
    ASSERT_TRUE(logged(port_closed(port)));
    EXPECT_FALSE(Locked_Line::held_by_someone(port)) << "a deleted device still holds its port";
    expect_replies({{"lsdev", "{\"devices\":[]}\r\n"}, {"dev a -o", Expected::not_found("a")}});
    std::vector<std::string> of_port;
    std::size_t raised = 0;  // each start raises the session thread, to the rung this host grants
    for (const auto& line : log_lines(server.out())) {
        if (line.message.find("[" + port + "]") == std::string::npos) continue;
        if (line.message.find("priority") == std::string::npos) of_port.push_back(line.tagged());
        raised += line.message.starts_with("Session thread priority set to THREAD_PRIORITY_");
    }
    EXPECT_EQ(raised, 2u);
    // No session stopped before one ran; the second open started none.
    EXPECT_THAT(of_port, ::testing::ElementsAre("[INFO ] Serial port [" + port + "] opened!", session_starting(port),
                                                session_started(port), already_started, session_stopped(port),
                                                session_starting(port), session_started(port), session_stopped(port),
                                                port_closed(port)));
}

TEST_F(Device_Lifecycle, binds_of_one_name_from_the_console_and_a_client_at_once_leave_one_device) {
    const std::string by_console = simulator("console").link_path(), by_client = simulator("client").link_path();
    for (int round = 0; round < 10; ++round) {
        const std::string name = "d" + std::to_string(round);
        const std::size_t output_before = server.out().size();
        auto client_reply = std::async(std::launch::async, [&] { return ask("bind " + name + " " + by_client); });
        server.send_line("bind " + name + " " + by_console);
        const std::string reply = client_reply.get();
        const bool client_won = reply == Expected::bound(name, by_client);
        if (!client_won) { ASSERT_EQ(reply, Expected::bind_refused(name)); }
        ASSERT_TRUE(server.wait_for_output(client_won ? Expected::bind_refused(name) : Expected::bound(name, by_console),
                                           output_before)) << server.out().substr(output_before);
        EXPECT_EQ(ask("lsbind"), "{\"binds\":[\"" + name + " " + (client_won ? by_client : by_console) + "\"]}\r\n");
        ASSERT_EQ(ask("dev " + name + " -d"), Expected::destroyed(name));
    }
}

TEST_F(Device_Lifecycle, sigterm_with_traffic_and_commands_in_flight_stops_every_session_and_closes_every_port_before_any_service) {
    const std::string one = add_device("one").link_path(), two = add_device("two").link_path();
    const std::string idle = simulator("idle").link_path();
    ASSERT_EQ(ask("bind idle " + idle), Expected::bound("idle", idle));
    Udp_Client pdo, sdo;
    ASSERT_THAT(ask("pdo one -o " + pdo.endpoint_args()), StartsWith("OK"));
    ASSERT_THAT(ask("pdo one -f 500"), StartsWith("OK"));
    ASSERT_THAT(ask("pdo one -e"), StartsWith("OK"));
    link_sdo(sdo, "two");
    ASSERT_TRUE(pdo.receive(10s)) << "PDO traffic";
    // SDO requests, and a client that opens, deletes and binds a device again, keep coming while the server stops.
    std::atomic<bool> ended{false};
    std::thread load([&] {
        Tcp_Client churn(ports.control);
        for (std::uint32_t sequence = 0; !ended; ++sequence) {
            sdo.send_to(ports.sdo, Udp_Client::sdo_request(sequence));
            const std::string commands[] = {"dev idle -o", "dev idle -d", "bind idle " + idle};
            if (!churn.command(commands[sequence % 3])) break;
        }
    });
    ASSERT_TRUE(sdo.receive(10s)) << "SDO traffic";

    server.signal(SIGTERM);
    ASSERT_EQ(server.wait_exit(), 0);
    ended = true;
    load.join();
    const auto lines = log_lines(server.out());
    const auto at = [&](const std::string& message) { return find_message(lines, message).value_or(lines.size()); };
    const std::size_t stopping = at("Control Service stopping...!");
    ASSERT_LT(stopping, lines.size()) << server.out();
    for (const auto& port : {one, two}) EXPECT_LT(at("Session stopped on [" + port + "]!"), stopping) << port;
    for (const auto& port : {one, two, idle}) EXPECT_LT(at("Serial port [" + port + "] closed!"), stopping) << port;
    const auto after_stopping = std::vector<Log_Line>(lines.begin() + static_cast<std::ptrdiff_t>(stopping), lines.end());
    EXPECT_EQ(count_messages_starting(after_stopping, "Session start"), 0u) << "no session runs past the devices' stop";
    for (const auto& line : lines) EXPECT_NE(line.tag, "ERROR") << line.message;
}

TEST(Startup_Commands, bind_open_and_link_before_the_first_control_command_is_answered_and_a_failing_line_is_logged) {
    Temp_Dir files;
    Quorin_Tools::Devsim::Config config;
    config.link_path = files.path() + "/hand";
    Device_Simulator device(config);
    device.start();
    const std::string port = device.link_path();
    Udp_Client sdo_client;
    files.write_file("commands", "# the hand\n\nbind hand " + port + "\n  dev hand -o \n\tsdo hand -o " +
                                     sdo_client.endpoint_args() + "\nbind hand " + port + "\n");
    const Server_Ports ports;
    Server_Process server({.config = ports.config(), .control_port = ports.control,
                           .args = {"--service", "--commands", files.path() + "/commands"}});
    Tcp_Client client(ports.control);
    EXPECT_EQ(client.command("lsbind"), "{\"binds\":[\"hand " + port + "\"]}\r\n");
    ASSERT_TRUE(sdo_client.send_to(ports.sdo, Udp_Client::sdo_request(1)));
    EXPECT_EQ(sdo_client.receive(10s), Udp_Client::sdo_request(1, 6, 0x61, 0)) << "the device was opened and linked";

    ASSERT_TRUE(server.wait_for_output("Start-up command at line 6 failed"));  // the output is read by another thread
    const std::string out = server.out();
    const auto started = out.find("Control Service started!\n");
    EXPECT_LT(started, out.find("] [INFO ] Start-up command at line 3: bind hand " + port + "\nOK bind device [hand]"));
    EXPECT_THAT(out, ::testing::HasSubstr("] [INFO ] Start-up command at line 4: dev hand -o\nOK opened device [hand]\n"));
    EXPECT_THAT(out, ::testing::HasSubstr("] [WARN ] Start-up command at line 6 failed: bind hand " + port +
                                          "\nFAILED to bind device [hand]\n>-FAILED\n"));
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait_exit(), 0);
}

}  // namespace
}  // namespace Quorin_Test
