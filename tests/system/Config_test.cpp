#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

/// The configuration file as the server reads it, seen through its log.
class Config : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::filesystem::exists("/etc/quorin/quorin_cfg.ini"))
            GTEST_SKIP() << "/etc/quorin/quorin_cfg.ini exists and would be read before any test file";
    }

    /// The tagged log lines before the control service starts: those of the config file.
    static std::vector<std::string> config_log(const Server_Process& server) {
        const auto lines = log_lines(server.out());
        const auto accept = find_message(lines, "Starting TCP Control accept...");
        return tagged_messages({lines.begin(), lines.begin() + static_cast<long>(accept.value_or(lines.size()))});
    }

    static void expect_control_port_answers(std::uint16_t port) {
        Tcp_Client client(port);
        EXPECT_EQ(client.command("help me"), Expected::help_wrong_format);
    }
};

std::string loaded_control_port(const std::string& port) { return "[INFO ] Loaded control_service->port: " + port; }

std::string invalid(const std::string& name, const std::string& number) {
    return "[ERROR] Config " + name + " [" + number + "] invalid (should be 1024 - 65535)!";
}

TEST_F(Config, each_line_is_logged_as_loaded_rejected_or_not_at_all) {
    const std::string port = std::to_string(free_port());
    const std::string error = "[ERROR] Error parsing config line: ";
    const std::string control_invalid = "control_service->port";
    // Lines of the file, and the log line they draw; one ending in " - " is followed by the
    // address parser's own message.
    const std::vector<std::pair<std::string, std::string>> lines{
        {"port = 29999\n[Control_Service]\nport = 29998\n[control_service ]\nport = 29997\n[server]", ""},
        {"host_ip = 2001:DB8:0:0:0:0:0:1", "[INFO ] Loaded server->host_ip: 2001:db8::1"},
        {"host_ip = 10.0.0.1 # lan", error + "host_ip = 10.0.0.1 # lan - "},
        {"host_ip = localhost", error + "host_ip = localhost - "},
        {"host_ip = 192.0.2.1", "[INFO ] Loaded server->host_ip: 192.0.2.1"},  // not an address of this machine
        {"[sdo_service]\nport = 29995", ""},  // the SDO port is read from port_start
        {"port_start = 30000abc", "[INFO ] Loaded sdo_service->port: 30000"},
        {"   timeout_s   =   abc   \t", error + "timeout_s   =   abc - stoi"},
        {"port_start = 65535", "[INFO ] Loaded sdo_service->port: 65535"},
        {"port_start = 99999", invalid("sdo_service->port", "99999")},
        {"[pdo_service] # first channel port", ""},  // no "]" at its end: not a section line
        {"port_start = 29994", "[INFO ] Loaded sdo_service->port: 29994"},
        {"[pdo_service]\nport_start\nport_start =   \t\n# port_start = 29993\n   # port_start = 29992\n\n   \t", ""},
        {"port_start = x30000", error + "port_start = x30000 - stoi"},
        {"port_start = 1024", "[INFO ] Loaded pdo_service->port_start: 1024"},
        {"port_start = 1023", invalid("pdo_service->port_start", "1023")},
        {"port_start = 29991 # a later # belongs to the value", "[INFO ] Loaded pdo_service->port_start: 29991"},
        {"timeout_s = +7", "[INFO ] Loaded pdo_service->timeout_s: 7"},
        {"[device]\nbaudrate = 2147483648", error + "baudrate = 2147483648 - stoi"},
        {"baudrate = 2147483647", "[INFO ] Loaded device->baudrate: 2147483647"},
        {"baudrate = -1", "[INFO ] Loaded device->baudrate: 18446744073709551615"},
        {"[control_service]\nPORT = 29996\ntimeout_s =   42   ", "[INFO ] Loaded control_service->timeout_s: 42"},
        {"port = 1023", invalid(control_invalid, "1023")},
        {"port = 65535", loaded_control_port("65535")},
        {"port = " + port, loaded_control_port(port)},  // the last valid value is the one used
        {"port = 65536", invalid(control_invalid, "65536")},
        {"port = -1", invalid(control_invalid, "-1")},
        {"port = 0", invalid(control_invalid, "0")}};
    std::string file;
    std::vector<::testing::Matcher<std::string>> expected{"[INFO ] Loading config from: ./quorin_cfg.ini"};
    for (const auto& [line, log] : lines) {
        file += line + "\n";
        if (log.ends_with(" - ")) expected.push_back(AllOf(StartsWith(log), SizeIs(Gt(log.size()))));
        else if (!log.empty()) expected.push_back(log);
    }
    expected.push_back("[INFO ] Config loaded from: ./quorin_cfg.ini");
    Server_Process server({.config = file});
    EXPECT_THAT(config_log(server), ::testing::ElementsAreArray(expected));
    expect_control_port_answers(static_cast<std::uint16_t>(std::stoi(port)));
}

TEST_F(Config, file_in_the_working_directory_is_read_before_the_one_above_which_is_read_when_alone) {
    for (const bool both : {true, false}) {
        const auto port = std::to_string(free_port());
        const std::string config = "[control_service]\nport = " + port + "\n";
        const std::string path = both ? "./quorin_cfg.ini" : "../quorin_cfg.ini";
        Server_Process server({.config = both ? config : "", .parent_config = both ? "[device]\nbaudrate = 9600\n" : config});
        EXPECT_THAT(config_log(server), ElementsAre("[INFO ] Loading config from: " + path, loaded_control_port(port),
                                                    "[INFO ] Config loaded from: " + path));
        expect_control_port_answers(static_cast<std::uint16_t>(std::stoi(port)));
    }
}

TEST_F(Config, no_file_anywhere_is_warned_about_path_by_path_and_the_default_port_is_used) {
    // The default port is held here, so that the server fails to bind it rather than run on a
    // fixed port next to other tests.
    std::optional<Occupied_Port> default_port;
    try {
        default_port.emplace(50000);
    } catch (const std::runtime_error&) {
        GTEST_SKIP() << "the default control port 50000 is in use";
    }
    Server_Process server({.wait_until_started = false});  // "../" is the empty temporary directory
    ASSERT_EQ(server.wait_exit(), 2);
    EXPECT_EQ(server.err(), "Error binding acceptor: Address already in use\n");
    EXPECT_THAT(config_log(server), ElementsAre("[WARN ] Failed to open config file. Tried paths:",
                                                "[WARN ]   - /etc/quorin/quorin_cfg.ini",
                                                "[WARN ]   - ./quorin_cfg.ini", "[WARN ]   - ../quorin_cfg.ini"));
}

}  // namespace
}  // namespace Quorin_Test
