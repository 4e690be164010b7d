#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/Free_Port.hpp"
#include "support/Log_Lines.hpp"
#include "support/Occupied_Port.hpp"
#include "support/Server_Process.hpp"
#include "support/Tcp_Client.hpp"
#include "system/Expected_Replies.hpp"

namespace Quorin_Test {
namespace {

using ::testing::ElementsAre;

const std::string first_prompt = "\nQuorin Core: ";

/// The PDO thread reports its scheduling priority whenever it gets to run; its line may
/// fall anywhere among the others, so order checks leave it out.
bool is_priority_report(const Log_Line& line) {
    return line.message.starts_with("Thread priority set to ") || line.message.starts_with("Failed to set ");
}

std::vector<std::string> tagged_without_priority_reports(const std::vector<Log_Line>& lines, std::size_t from = 0) {
    std::vector<std::string> tagged;
    for (std::size_t i = from; i < lines.size(); ++i)
        if (!is_priority_report(lines[i])) tagged.push_back(lines[i].tagged());
    return tagged;
}

TEST(Startup_Shutdown, start_up_is_logged_in_order_before_the_first_prompt) {
    const Server_Ports ports;
    Server_Process server(Server_Process::options_with_ports(ports));
    const std::string out = server.out();
    const std::string before_prompt = out.substr(0, out.find(first_prompt));

    EXPECT_THAT(tagged_without_priority_reports(log_lines(before_prompt)),
                ElementsAre("[INFO ] Loading config from: ./quorin_cfg.ini",
                            "[INFO ] Loaded control_service->port: " + std::to_string(ports.control),
                            "[INFO ] Loaded sdo_service->port: " + std::to_string(ports.sdo),
                            "[INFO ] Loaded pdo_service->port_start: " + std::to_string(ports.pdo),
                            "[INFO ] Config loaded from: ./quorin_cfg.ini", "[INFO ] Starting TCP Control accept...",
                            "[INFO ] Quorin core initializing...", "[INFO ] PDO Service started!",
                            "[INFO ] SDO Service started!", "[INFO ] Control Service started!"));
    EXPECT_EQ(without_log_lines(before_prompt), "") << "only log lines come before the first prompt";

    Tcp_Client client(ports.control);
    const auto reply = client.command("lsctrl");
    EXPECT_EQ(reply, "{\"connections\":[\"127.0.0.1:" + std::to_string(ports.control) + " 127.0.0.1:" +
                         std::to_string(client.local_port()) + "\"]}\r\n");
}

TEST(Startup_Shutdown, exit_or_end_of_input_closes_clients_then_stops_and_joins_services_in_order) {
    for (const bool by_exit : {true, false}) {
        SCOPED_TRACE(by_exit ? "exit" : "end of input");
        Server_Process server(Server_Process::options_with_ports());
        Tcp_Client client(server.ctrl_port());
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
        const std::string console_tail = without_log_lines(out.substr(out.rfind(first_prompt)));
        if (by_exit) EXPECT_EQ(console_tail, first_prompt + "> exit\n");
        else EXPECT_THAT(console_tail, ::testing::AnyOf(first_prompt + "> ", first_prompt + "> \n"));
        // Whatever the rung reached, the ladder ends in exactly one outcome line.
        const auto lines = log_lines(out);
        EXPECT_EQ(count_messages_starting(lines, "Thread priority set to THREAD_PRIORITY_") +
                      count_messages_starting(lines, "Failed to set any thread priority"),
                  1u)
            << out;
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
    EXPECT_THAT(tagged_messages(log_lines(server.out())),
                ElementsAre("[INFO ] Loading config from: ./quorin_cfg.ini",
                            "[INFO ] Loaded control_service->port: " + std::to_string(ports.control),
                            "[INFO ] Loaded sdo_service->port: " + std::to_string(ports.sdo),
                            "[INFO ] Loaded pdo_service->port_start: " + std::to_string(ports.pdo),
                            "[INFO ] Config loaded from: ./quorin_cfg.ini"))
        << "no service was to be started, no thread to report its priority";
    EXPECT_EQ(without_log_lines(server.out()), "") << "no prompt was to be shown";
}

}  // namespace
}  // namespace Quorin_Test
