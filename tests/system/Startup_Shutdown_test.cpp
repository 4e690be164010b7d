#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/Server_Process.hpp"
#include "support/Tcp_Client.hpp"
#include "system/Expected_Replies.hpp"

namespace Quorin_Test {
namespace {

using ::testing::ElementsAre;

const std::string prompt = "\nQuorin Core: ";

std::vector<std::string> config_lines(const Server_Ports& ports) {
    return {"[INFO ] Loading config from: ./quorin_cfg.ini",
            "[INFO ] Loaded control_service->port: " + std::to_string(ports.control),
            "[INFO ] Loaded sdo_service->port: " + std::to_string(ports.sdo),
            "[INFO ] Loaded pdo_service->port_start: " + std::to_string(ports.pdo),
            "[INFO ] Config loaded from: ./quorin_cfg.ini"};
}

TEST(Startup_Shutdown, start_up_is_logged_before_the_first_prompt_and_exit_or_end_of_input_stops_all_in_order) {
    for (const bool by_exit : {true, false}) {
        SCOPED_TRACE(by_exit ? "exit" : "end of input");
        const Server_Ports ports;
        Server_Process server(Server_Process::options_with_ports(ports));
        const std::string started = server.out().substr(0, server.out().find(prompt));
        auto start_up = config_lines(ports);
        for (const char* line : {"Starting TCP Control accept...", "Quorin core initializing...", "PDO Service started!",
                                 "SDO Service started!", "Control Service started!"})
            start_up.push_back(std::string("[INFO ] ") + line);
        // The PDO thread reports its priority whenever it gets to run: order checks leave it out.
        EXPECT_EQ(tagged_messages(log_lines(started), true), start_up);
        EXPECT_EQ(without_log_lines(started), "") << "only log lines come before the first prompt";

        Tcp_Client client(ports.control);
        ASSERT_EQ(client.command("help me"), Expected::help_wrong_format);
        if (by_exit) server.send_line("exit");
        else server.close_stdin();
        ASSERT_EQ(server.wait_exit(), 0);
        EXPECT_TRUE(client.wait_closed(5s)) << "the client's connection outlived the server";
        const std::string out = server.out();
        EXPECT_THAT(shutdown_log(out),
                    ElementsAre("[INFO ] Control Service stopping...!", "[INFO ] A ctrl socket closed!",
                                "[INFO ] PDO Service stopping...!", "[INFO ] SDO Service stopping...!",
                                "[INFO ] Control Service stopped!", "[INFO ] PDO Service stopped!",
                                "[INFO ] SDO Service stopped!"));
        EXPECT_TRUE(out.ends_with("] [INFO ] SDO Service stopped!\n")) << "output after the last line";
        EXPECT_EQ(server.err(), "");
        // No reply to the line that ended it; the console's last words are its prompt.
        const std::string console_tail = without_log_lines(out.substr(out.rfind(prompt)));
        if (by_exit) EXPECT_EQ(console_tail, prompt + "> exit\n");
        else EXPECT_THAT(console_tail, ::testing::AnyOf(prompt + "> ", prompt + "> \n"));
        // Whatever the rung reached, the ladder ends in exactly one outcome line.
        const auto lines = log_lines(out);
        EXPECT_EQ(count_messages_starting(lines, "Thread priority set to THREAD_PRIORITY_") +
                      count_messages_starting(lines, "Failed to set any thread priority"), 1u) << out;
    }
}

TEST(Startup_Shutdown, control_port_in_use_ends_with_status_2_before_any_service_starts) {
    const Occupied_Port taken(free_port());
    const Server_Ports ports{.control = taken.port()};
    auto options = Server_Process::options_with_ports(ports);
    options.wait_until_started = false;
    Server_Process server(options);
    // Standard input stays open: a server that went on to its console would not end here.
    ASSERT_EQ(server.wait_exit(), 2);
    EXPECT_EQ(server.err(), "Error binding acceptor: Address already in use\n");
    // No service was to start, no thread to report its priority, no prompt to be shown.
    EXPECT_EQ(tagged_messages(log_lines(server.out())), config_lines(ports));
    EXPECT_EQ(without_log_lines(server.out()), "");
}

}  // namespace
}  // namespace Quorin_Test
