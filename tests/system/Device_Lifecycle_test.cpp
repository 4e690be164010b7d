#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>

#include "support/Locked_Line.hpp"
#include "support/Log_Lines.hpp"
#include "system/Device_Harness.hpp"

// Devices bound to simulated devices and taken through their life: open, close, delete,
// unplug, and the server's shutdown.
namespace Quorin_Test {
namespace {

using ::testing::ElementsAre;

/// Long enough for an idle session to have sent something if it were going to.
constexpr auto quiet_window = 300ms;

std::string session_starting(const std::string& port) { return "[INFO ] Session starting on [" + port + "]..."; }
std::string session_started(const std::string& port) { return "[INFO ] Session started on [" + port + "]!"; }
std::string session_stopped(const std::string& port) { return "[INFO ] Session stopped on [" + port + "]!"; }
std::string port_opened(const std::string& port) { return "[INFO ] Serial port [" + port + "] opened!"; }
std::string port_closed(const std::string& port) { return "[INFO ] Serial port [" + port + "] closed!"; }

/// The tagged log lines of `out` that mention `port`, in order.
std::vector<std::string> log_of_port(const std::string& out, const std::string& port) {
    std::vector<std::string> lines;
    for (const auto& line : log_lines(out))
        if (line.message.find("[" + port + "]") != std::string::npos) lines.push_back(line.tagged());
    return lines;
}

/// Index of the first log line of `lines` that is exactly `tagged`, or the number of lines.
std::size_t position_of(const std::vector<Log_Line>& lines, const std::string& tagged) {
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i].tagged() == tagged) return i;
    return lines.size();
}

using Device_Lifecycle = Device_Server_Test;

TEST_F(Device_Lifecycle, bind_close_open_open_again_close_open_delete) {
    const auto device = start_simulator(links, "sim");
    const std::string port = device->link_path();
    const std::string already_started = "[WARN ] Session already started on [" + port + "]!";

    ASSERT_EQ(ask("bind a " + port), Expected::bound("a", port));
    EXPECT_TRUE(Locked_Line::held_by_someone(port)) << "bind opens the port at once";
    EXPECT_EQ(ask("dev a -c"), Expected::closed("a")) << "closing a device that never ran";
    EXPECT_EQ(ask("dev a -c"), Expected::closed("a"));

    ASSERT_EQ(ask("dev a -o"), Expected::opened("a"));
    ASSERT_TRUE(logged(session_started(port)));
    EXPECT_EQ(ask("dev a -o"), Expected::dev_exception) << "no line of its own, only the exception lines";
    EXPECT_TRUE(logged(already_started));
    // With nothing queued the session polls without sending: the device sees no byte at all.
    std::this_thread::sleep_for(quiet_window);
    EXPECT_TRUE(saw_nothing(*device));
    EXPECT_TRUE(device->running());

    ASSERT_EQ(ask("dev a -c"), Expected::closed("a"));
    ASSERT_TRUE(logged(session_stopped(port)));
    EXPECT_TRUE(Locked_Line::held_by_someone(port)) << "a closed device keeps its port";
    EXPECT_EQ(ask("lsbind"), "{\"binds\":[\"a " + port + "\"]}\r\n");

    ASSERT_EQ(ask("dev a -o"), Expected::opened("a"));
    ASSERT_TRUE(logged(session_started(port), 2));

    ASSERT_EQ(ask("dev a -d"), Expected::destroyed("a"));
    ASSERT_TRUE(logged(port_closed(port)));
    EXPECT_FALSE(Locked_Line::held_by_someone(port)) << "a deleted device still holds its port";
    EXPECT_EQ(ask("lsdev"), Expected::no_devices);
    EXPECT_EQ(ask("dev a -o"), Expected::not_found("a"));

    // No session stopped before one ran; the second open started none.
    EXPECT_THAT(log_of_port(server.out(), port),
                ElementsAre(port_opened(port), session_starting(port), session_started(port), already_started,
                            session_stopped(port), session_starting(port), session_started(port), session_stopped(port),
                            port_closed(port)));
    EXPECT_TRUE(saw_nothing(*device));

    EXPECT_EQ(ask("bind a " + port), Expected::bound("a", port)) << "the port is free for a new bind";
}

TEST_F(Device_Lifecycle, an_unplugged_device_leaves_the_server_running_and_delete_and_bind_recover) {
    const auto device = start_simulator(links, "sim", 50ms);
    const std::string port = device->link_path();
    const std::string first_line = device->slave_path();
    ASSERT_EQ(ask("bind a " + port), Expected::bound("a", port));
    ASSERT_EQ(ask("dev a -o"), Expected::opened("a"));
    ASSERT_TRUE(logged(session_started(port)));

    // With nothing to send, the session has no reason to touch the line: the server learns of
    // the unplug only when it uses the port, here when the device is deleted.
    device->unplug();
    ASSERT_TRUE(device->wait_for([](const Counters& c) { return c.replugs == 1; }, 10s));
    ASSERT_NE(device->slave_path(), first_line);
    EXPECT_FALSE(Locked_Line::held_by_someone(port)) << "nobody holds the replugged device yet";

    // The server goes on serving, with the device still in its table.
    EXPECT_EQ(ask("lsbind"), "{\"binds\":[\"a " + port + "\"]}\r\n");
    EXPECT_EQ(ask("bind a " + port), Expected::bind_refused("a"));

    ASSERT_EQ(ask("dev a -d"), Expected::destroyed("a"));
    EXPECT_TRUE(logged(session_stopped(port)));
    EXPECT_TRUE(logged(port_closed(port)));

    ASSERT_EQ(ask("bind a " + port), Expected::bound("a", port));
    EXPECT_TRUE(Locked_Line::held_by_someone(port)) << "the new bind holds the replugged device";
    ASSERT_EQ(ask("dev a -o"), Expected::opened("a"));
    EXPECT_TRUE(logged(session_started(port), 2));
    EXPECT_EQ(device->counters().write_errors, 0u);
    EXPECT_EQ(count_messages_starting(log_lines(server.out()), "Error "), 0u) << server.out();
}

TEST_F(Device_Lifecycle, binds_of_one_name_from_the_console_and_a_client_at_once_leave_one_device) {
    constexpr int rounds = 10;
    const auto console_device = start_simulator(links, "console");
    const auto client_device = start_simulator(links, "client");
    for (int round = 0; round < rounds; ++round) {
        const std::string name = "d" + std::to_string(round);
        const std::size_t output_before = server.out().size();
        auto by_client = std::async(std::launch::async,
                                    [&] { return ask("bind " + name + " " + client_device->link_path()); });
        server.send_line("bind " + name + " " + console_device->link_path());
        const std::string client_reply = by_client.get();

        const bool client_won = client_reply == Expected::bound(name, client_device->link_path());
        if (!client_won) {
            ASSERT_EQ(client_reply, Expected::bind_refused(name));
        }
        const std::string console_reply =
            client_won ? Expected::bind_refused(name) : Expected::bound(name, console_device->link_path());
        ASSERT_TRUE(server.wait_for_output(console_reply, output_before)) << server.out().substr(output_before);
        const std::string winner = client_won ? client_device->link_path() : console_device->link_path();
        EXPECT_EQ(ask("lsbind"), "{\"binds\":[\"" + name + " " + winner + "\"]}\r\n");
        ASSERT_EQ(ask("dev " + name + " -d"), Expected::destroyed(name));
    }
}

TEST_F(Device_Lifecycle, shutdown_stops_every_session_and_closes_every_port_before_any_service) {
    const auto first = start_simulator(links, "first");
    const auto second = start_simulator(links, "second");
    const auto idle = start_simulator(links, "idle");
    // Bound and opened at the console, as an operator would.
    for (const auto& [name, device] : {std::pair{"one", first.get()}, {"two", second.get()}, {"three", idle.get()}})
        ASSERT_EQ(server.console_command(std::string("bind ") + name + " " + device->link_path()),
                  Expected::bound(name, device->link_path()) + "\n");
    ASSERT_EQ(server.console_command("dev one -o"), Expected::opened("one") + "\n");
    ASSERT_TRUE(logged(session_started(first->link_path())));
    ASSERT_EQ(server.console_command("dev two -o"), Expected::opened("two") + "\n");
    ASSERT_TRUE(logged(session_started(second->link_path())));

    server.send_line("exit");
    ASSERT_EQ(server.wait_exit(), 0);
    EXPECT_EQ(server.err(), "");
    EXPECT_TRUE(client.wait_closed(5s));

    const auto lines = log_lines(server.out());
    const std::size_t services_stopping = position_of(lines, "[INFO ] Control Service stopping...!");
    ASSERT_LT(services_stopping, lines.size()) << server.out();
    for (const auto* device : {first.get(), second.get()})
        EXPECT_LT(position_of(lines, session_stopped(device->link_path())), services_stopping) << device->link_path();
    for (const auto* device : {first.get(), second.get(), idle.get()})
        EXPECT_LT(position_of(lines, port_closed(device->link_path())), services_stopping) << device->link_path();
    EXPECT_EQ(position_of(lines, session_stopped(idle->link_path())), lines.size()) << "the idle device never ran";
    for (const auto* device : {first.get(), second.get(), idle.get()}) {
        EXPECT_FALSE(Locked_Line::held_by_someone(device->link_path()));
        EXPECT_TRUE(saw_nothing(*device));
    }
}

}  // namespace
}  // namespace Quorin_Test
