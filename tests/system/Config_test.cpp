#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
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

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::Gt;
using ::testing::SizeIs;
using ::testing::StartsWith;

constexpr std::uint16_t default_control_port = 50000;

/// The configuration file as the server reads it, seen through its log.
class Config : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::filesystem::exists("/etc/quorin/quorin_cfg.ini"))
            GTEST_SKIP() << "/etc/quorin/quorin_cfg.ini exists and would be read before any test file";
    }

    /// Starts a server that reads `config` from its working directory.
    static std::unique_ptr<Server_Process> start_with(const std::string& config) {
        Server_Process::Options options;
        options.config = config;
        return std::make_unique<Server_Process>(options);
    }

    /// The tagged log lines from "Loading config from: " to "Config loaded from: ", both included.
    static std::vector<std::string> config_log(const Server_Process& server) {
        const auto lines = log_lines(server.out());
        const auto first = find_message_starting(lines, "Loading config from: ");
        if (!first) return {"<no Loading config line>"};
        const auto last = find_message_starting(lines, "Config loaded from: ", *first);
        if (!last) return {"<no Config loaded line>"};
        return tagged_messages(std::vector<Log_Line>(lines.begin() + static_cast<long>(*first),
                                                     lines.begin() + static_cast<long>(*last) + 1));
    }

    static void expect_control_port_answers(std::uint16_t port) {
        Tcp_Client client(port);
        EXPECT_EQ(client.command("help me"), Expected::help_wrong_format);
    }

    static std::string loaded_control_port(std::uint16_t port) {
        return "[INFO ] Loaded control_service->port: " + std::to_string(port);
    }
};

std::string invalid_control_port(const std::string& number) {
    return "[ERROR] Config control_service->port [" + number + "] invalid (should be 1024 - 65535)!";
}

TEST_F(Config, ports_outside_1024_to_65535_are_rejected_and_the_last_valid_value_wins) {
    const auto port = free_port();
    const auto server = start_with("[control_service]\n"
                                   "port = 1023\n"
                                   "port = 65535\n"
                                   "port = " + std::to_string(port) + "\n"
                                   "port = 65536\n"
                                   "port = -1\n"
                                   "port = 0\n"
                                   "[pdo_service]\n"
                                   "port_start = 1024\n"
                                   "port_start = 1023\n"
                                   "[sdo_service]\n"
                                   "port_start = 65535\n"
                                   "port_start = 99999\n");
    EXPECT_THAT(config_log(*server),
                ElementsAre("[INFO ] Loading config from: ./quorin_cfg.ini", invalid_control_port("1023"),
                            loaded_control_port(65535), loaded_control_port(port), invalid_control_port("65536"),
                            invalid_control_port("-1"), invalid_control_port("0"),
                            "[INFO ] Loaded pdo_service->port_start: 1024",
                            "[ERROR] Config pdo_service->port_start [1023] invalid (should be 1024 - 65535)!",
                            "[INFO ] Loaded sdo_service->port: 65535",
                            "[ERROR] Config sdo_service->port [99999] invalid (should be 1024 - 65535)!",
                            "[INFO ] Config loaded from: ./quorin_cfg.ini"));
    expect_control_port_answers(port);
}

TEST_F(Config, numbers_are_read_from_their_leading_digits_and_anything_else_is_a_stoi_error) {
    const auto port = free_port();
    const auto server = start_with("[control_service]\n"
                                   "port = " + std::to_string(port) + "\n"
                                   "timeout_s =   42   \n"
                                   "[sdo_service]\n"
                                   "port_start = 30000abc\n"
                                   "   timeout_s   =   abc   \t\n"
                                   "[pdo_service]\n"
                                   "port_start = x30000\n"
                                   "timeout_s = +7\n"
                                   "[device]\n"
                                   "baudrate = 2147483648\n"
                                   "baudrate = 2147483647\n"
                                   "baudrate = -1\n");
    EXPECT_THAT(config_log(*server),
                ElementsAre("[INFO ] Loading config from: ./quorin_cfg.ini", loaded_control_port(port),
                            "[INFO ] Loaded control_service->timeout_s: 42",
                            "[INFO ] Loaded sdo_service->port: 30000",
                            "[ERROR] Error parsing config line: timeout_s   =   abc - stoi",
                            "[ERROR] Error parsing config line: port_start = x30000 - stoi",
                            "[INFO ] Loaded pdo_service->timeout_s: 7",
                            "[ERROR] Error parsing config line: baudrate = 2147483648 - stoi",
                            "[INFO ] Loaded device->baudrate: 2147483647",
                            "[INFO ] Loaded device->baudrate: 18446744073709551615",
                            "[INFO ] Config loaded from: ./quorin_cfg.ini"));
    expect_control_port_answers(port);
}

TEST_F(Config, sections_and_keys_match_exactly_and_odd_lines_are_skipped_silently) {
    const auto port = free_port();
    const auto server = start_with("port = 29999\n"  // before any section
                                   "[Control_Service]\n"
                                   "port = 29998\n"
                                   "[control_service ]\n"
                                   "port = 29997\n"
                                   "[control_service]\n"
                                   "PORT = 29996\n"
                                   "port = " + std::to_string(port) + "\n"
                                   "[sdo_service]\n"
                                   "port = 29995\n"  // the SDO port is read from port_start
                                   "[pdo_service] # first channel port\n"  // not a section line: no ] at its end
                                   "port_start = 29994\n"  // so this is still sdo_service
                                   "[pdo_service]\n"
                                   "port_start\n"
                                   "port_start =   \t\n"
                                   "# port_start = 29993\n"
                                   "   # port_start = 29992\n"
                                   "port_start = 29991 # a later # belongs to the value\n"
                                   "\n"
                                   "   \t\n");
    EXPECT_THAT(config_log(*server),
                ElementsAre("[INFO ] Loading config from: ./quorin_cfg.ini", loaded_control_port(port),
                            "[INFO ] Loaded sdo_service->port: 29994",
                            "[INFO ] Loaded pdo_service->port_start: 29991",
                            "[INFO ] Config loaded from: ./quorin_cfg.ini"));
    expect_control_port_answers(port);
}

TEST_F(Config, host_ip_is_stored_in_canonical_form_and_does_not_move_the_control_port) {
    const auto port = free_port();
    const std::string commented_line = "host_ip = 10.0.0.1 # lan";
    const auto server = start_with("[server]\n"
                                   "host_ip = 2001:DB8:0:0:0:0:0:1\n" +
                                   commented_line + "\n" +
                                   "host_ip = localhost\n"
                                   "host_ip = 192.0.2.1\n"  // not an address of this machine
                                   "[control_service]\n"
                                   "port = " + std::to_string(port) + "\n");
    const std::string parse_error = "[ERROR] Error parsing config line: ";
    EXPECT_THAT(config_log(*server),
                ElementsAre("[INFO ] Loading config from: ./quorin_cfg.ini",
                            "[INFO ] Loaded server->host_ip: 2001:db8::1",
                            AllOf(StartsWith(parse_error + commented_line + " - "),
                                  SizeIs(Gt((parse_error + commented_line + " - ").size()))),
                            AllOf(StartsWith(parse_error + "host_ip = localhost - "),
                                  SizeIs(Gt((parse_error + "host_ip = localhost - ").size()))),
                            "[INFO ] Loaded server->host_ip: 192.0.2.1", loaded_control_port(port),
                            "[INFO ] Config loaded from: ./quorin_cfg.ini"));
    expect_control_port_answers(port);
}

TEST_F(Config, file_in_the_working_directory_is_read_before_the_one_above_which_is_read_when_alone) {
    for (const bool both : {true, false}) {
        SCOPED_TRACE(both ? "both files" : "only ../");
        const auto port = free_port();
        const std::string config = "[control_service]\nport = " + std::to_string(port) + "\n";
        const std::string path = both ? "./quorin_cfg.ini" : "../quorin_cfg.ini";
        Server_Process::Options options;
        options.working_subdir = "run";
        options.config = both ? config : "";
        options.parent_config = both ? "[control_service]\nport = 1999\n[device]\nbaudrate = 9600\n" : config;
        Server_Process server(options);
        EXPECT_THAT(config_log(server), ElementsAre("[INFO ] Loading config from: " + path, loaded_control_port(port),
                                                    "[INFO ] Config loaded from: " + path));
        const auto lines = log_lines(server.out());
        EXPECT_EQ(count_messages_starting(lines, "Failed to open config file"), 0u);
        EXPECT_EQ(count_messages_starting(lines, "Loaded device->baudrate"), 0u) << "../ was read too";
        expect_control_port_answers(port);
    }
}

/// Waits until the server either shows its first prompt (true) or ends (false).
bool started_or_ended(Server_Process& server) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (server.wait_exit(20ms)) return false;
        if (server.out().find("\nQuorin Core: ") != std::string::npos) return true;
    }
    ADD_FAILURE() << "server neither started nor ended:\n" << server.out();
    return false;
}

TEST_F(Config, no_file_anywhere_is_warned_about_path_by_path_and_the_default_port_is_used) {
    // The default control port is held here if possible, so the server is expected to fail
    // binding it rather than to run on a fixed port next to other tests.
    const auto default_port_holder = Occupied_Port::try_hold(default_control_port);
    Server_Process::Options options;
    options.working_subdir = "run";  // "../" is then the empty temporary directory
    options.wait_until_started = false;
    Server_Process server(options);

    const bool started = started_or_ended(server);
    if (started) {
        server.close_stdin();
        EXPECT_EQ(server.wait_exit(), 0);
    }
    const auto lines = log_lines(server.out());
    ASSERT_THAT(lines, SizeIs(::testing::Ge(4u))) << server.out();
    EXPECT_THAT(tagged_messages(std::vector<Log_Line>(lines.begin(), lines.begin() + 4)),
                ElementsAre("[WARN ] Failed to open config file. Tried paths:",
                            "[WARN ]   - /etc/quorin/quorin_cfg.ini", "[WARN ]   - ./quorin_cfg.ini",
                            "[WARN ]   - ../quorin_cfg.ini"));
    if (default_port_holder) {
        EXPECT_FALSE(started) << "the server did not try port " << default_control_port;
        EXPECT_EQ(server.wait_exit(), 2);
        EXPECT_EQ(server.err(), "Error binding acceptor: Address already in use\n");
    } else if (!started) {
        // Someone else has the default port: the server must fail cleanly.
        EXPECT_EQ(server.wait_exit(), 2);
        EXPECT_THAT(server.err(), StartsWith("Error "));
    }
}

}  // namespace
}  // namespace Quorin_Test
