#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/Pty_Pair.hpp"
#include "support/Server_Process.hpp"
#include "support/Tcp_Client.hpp"
#include "system/Expected_Replies.hpp"

// The program's start: its options, its config file, its services starting and stopping.
namespace Quorin_Test {
namespace {

using ::testing::ElementsAre;

// The version block: name and version, the old name, and "Build: " type ", " compiler " "
// version ", " system "/" processor ", " ISO time " @" host.
const auto version_block = ::testing::MatchesRegex(
    "quorin v1\\.1\\.0\nQuorin Core-Socket, old name = mirelon data server\n"
    "Build: [^,\n]+, [^ ,\n]+ [^,\n]+, [^/,\n]+/[^,\n]+, "
    "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[+-][0-9]{4} @[^\n]*\n");
const std::string usage_block = std::string("Usage: ") + QUORIN_BINARY + " [OPTIONS]\nOptions:\n"
                                "  --version, -v     Show version information\n"
                                "  --help, -h        Show this help message\n"
                                "  --debug, -d       Enable debug logging\n"
                                "  --service, -s     Run without a console until SIGTERM or SIGINT\n"
                                "  --config FILE     Read the configuration from FILE only\n"
                                "  --commands FILE   Run the commands in FILE once the server has started\n";

std::string unknown(const std::string& arg) { return "Error: Unknown option " + arg + "\nUse --help for usage information\n"; }

TEST(Options, the_first_option_that_is_not_debug_decides_the_output_and_ends_the_program) {
    const std::vector<std::tuple<std::vector<std::string>, int, ::testing::Matcher<std::string>, std::string>> cases{
        {{"--version"}, 0, version_block, ""}, {{"-v", "-x"}, 0, version_block, ""},
        {{"-d", "--version"}, 0, version_block, ""}, {{"-v", "--help"}, 0, version_block, ""},
        {{"--help"}, 0, usage_block, ""}, {{"-h", "--bogus"}, 0, usage_block, ""}, {{"-d", "-h", "-v"}, 0, usage_block, ""},
        {{"--Debug"}, 1, "", unknown("--Debug")}, {{"-dv"}, 1, "", unknown("-dv")},  // case-sensitive, not combined
        {{"debug"}, 1, "", unknown("debug")}, {{"--debug=1"}, 1, "", unknown("--debug=1")}, {{""}, 1, "", unknown("")},
        {{"-x", "--version"}, 1, "", unknown("-x")},  // the later one is never looked at
        {{"--debug", "-d", "-q"}, 1, "", unknown("-q")},
        {{"-s", "--config"}, 1, "", "Error: Option --config needs a file name\nUse --help for usage information\n"},
        {{"--config", "none.ini"}, 2, "", "Error: cannot read config file none.ini: No such file or directory\n"},
        {{"--commands", "."}, 2, "", "Error: cannot read commands file .: it is a directory\n"}};
    for (const auto& [args, status, out, err] : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        // Free ports in place, so that a run which wrongly starts the server stays off the defaults.
        Server_Process process({.config = Server_Ports{}.config(), .args = args, .wait_until_started = false});
        EXPECT_EQ(process.wait_exit(), status);
        EXPECT_THAT(process.out(), out);
        EXPECT_EQ(process.err(), err);
    }
}

TEST(Options, debug_given_twice_starts_the_server_logging_debug_lines) {
    Server_Process server({.config = Server_Ports{}.config(), .args = {"--debug", "-d"}});
    Pty_Pair line;
    EXPECT_EQ(server.console_command("bind hand " + line.port_path()),
              "OK bind device [hand] to port [" + line.port_path() + "]\r\n\n");
    server.close_stdin();
    EXPECT_EQ(server.wait_exit(), 0);
    EXPECT_THAT(server.out(), ::testing::HasSubstr("] [DEBUG] Low-latency mode not available on serial port [" +
                                                   line.port_path() + "]: "));
    EXPECT_EQ(server.err(), "");
}

/// The tagged log lines before the control service starts: those of the config file.
std::vector<std::string> config_log(const Server_Process& server) {
    const auto lines = log_lines(server.out());
    const auto accept = find_message(lines, "Starting TCP Control accept...");
    return tagged_messages({lines.begin(), lines.begin() + static_cast<long>(accept.value_or(lines.size()))});
}

std::string loaded_control_port(std::uint16_t port) { return "[INFO ] Loaded control_service->port: " + std::to_string(port); }
std::string invalid(const std::string& name, const std::string& number) {
    return "[ERROR] Config " + name + " [" + number + "] invalid (should be 1024 - 65535)!";
}

void expect_control_port_answers(std::uint16_t port) { EXPECT_EQ(Tcp_Client(port).command("help me"), Expected::help_wrong_format); }

const std::string prompt = "\nQuorin Core: ";

std::vector<std::string> config_lines(const Server_Ports& ports) {
    return {"[INFO ] Loading config from: ./quorin_cfg.ini", loaded_control_port(ports.control),
            "[INFO ] Loaded sdo_service->port: " + std::to_string(ports.sdo),
            "[INFO ] Loaded pdo_service->port_start: " + std::to_string(ports.pdo), "[INFO ] Config loaded from: ./quorin_cfg.ini"};
}

/// The configuration file as the server reads it, seen through its log.
class Config : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::filesystem::exists("/etc/quorin/quorin_cfg.ini"))
            GTEST_SKIP() << "/etc/quorin/quorin_cfg.ini exists and would be read before any test file";
    }
};

TEST_F(Config, each_line_is_logged_as_loaded_rejected_or_not_at_all) {
    const auto port = free_port();
    const std::string error = "[ERROR] Error parsing config line: ", control_invalid = "control_service->port";
    // Lines of the file, and the log line they draw.
    const std::vector<std::pair<std::string, std::string>> lines{
        {"port = 29999\n[Control_Service]\nport = 29998\n[control_service ]\nport = 29997\n[server]", ""},
        {"host_ip = 2001:DB8:0:0:0:0:0:1", "[INFO ] Loaded server->host_ip: 2001:db8::1"},
        {"host_ip = 10.0.0.1 # lan", error + "host_ip = 10.0.0.1 # lan - Invalid argument"},
        {"host_ip = localhost", error + "host_ip = localhost - Invalid argument"},
        {"host_ip = 192.0.2.1", "[INFO ] Loaded server->host_ip: 192.0.2.1"},  // not an address of this machine
        {"[sdo_service]\nport = 29995", ""},  // the SDO port is read from port_start
        {"port_start = 30000abc", "[INFO ] Loaded sdo_service->port: 30000"},
        {"   timeout_s   =   abc   \t", error + "timeout_s   =   abc - stoi"},
        {"port_start = 65535", "[INFO ] Loaded sdo_service->port: 65535"}, {"port_start = 99999", invalid("sdo_service->port", "99999")},
        {"[pdo_service] # first channel port", ""},  // no "]" at its end: not a section line
        {"port_start = 29994", "[INFO ] Loaded sdo_service->port: 29994"},
        {"[pdo_service]\nport_start\nport_start =   \t\n# port_start = 29993\n   # port_start = 29992\n\n   \t", ""},
        {"port_start = x30000", error + "port_start = x30000 - stoi"},
        {"port_start = 1024", "[INFO ] Loaded pdo_service->port_start: 1024"},
        {"port_start = 1023", invalid("pdo_service->port_start", "1023")},
        {"port_start = 29991 # a later # belongs to the value", "[INFO ] Loaded pdo_service->port_start: 29991"},
        {"timeout_s = +7", "[INFO ] Loaded pdo_service->timeout_s: 7"},
        {"[device]\nbaudrate = 2147483648", error + "baudrate = 2147483648 - stoi"},
        {"baudrate = 16000001", error + "baudrate = 16000001 - baudrate must be between 300 and 16000000"},
        {"baudrate = 300", "[INFO ] Loaded device->baudrate: 300"},
        {"baudrate = -1", error + "baudrate = -1 - baudrate must be between 300 and 16000000"},
        {"realtime_priority = 2", "[ERROR] Config device->realtime_priority [2] invalid (should be 0 or 1)!"},
        {"realtime_priority = 0", "[INFO ] Loaded device->realtime_priority: 0"},
        {"reconnect_ms = 3600001", "[ERROR] Config device->reconnect_ms [3600001] invalid (should be 0 - 3600000)!"},
        {"reconnect_ms = 1000", "[INFO ] Loaded device->reconnect_ms: 1000"},
        {"[control_service]\nPORT = 29996\ntimeout_s =   42   ", "[INFO ] Loaded control_service->timeout_s: 42"},
        {"port = 1023", invalid(control_invalid, "1023")}, {"port = 65535", loaded_control_port(65535)},
        {"listen_ip = 127.0.0.1", "[INFO ] Loaded control_service->listen_ip: 127.0.0.1"},
        {"listen_ip = 127.0.0.256", error + "listen_ip = 127.0.0.256 - Invalid argument"},
        {"allow = 127.0.0.9/8,::1", "[INFO ] Loaded control_service->allow: 127.0.0.0/8, ::1/128"},
        {"allow = 10.0.0.0/33", error + "allow = 10.0.0.0/33 - prefix length [33] exceeds 32"},
        {"idle_s = -1", "[ERROR] Config control_service->idle_s [-1] invalid (should be 0 - 2147483647)!"},
        {"idle_s = 0", "[INFO ] Loaded control_service->idle_s: 0"},
        {"port = " + std::to_string(port), loaded_control_port(port)},  // the last valid value is the one used
        {"port = 65536", invalid(control_invalid, "65536")}, {"port = -1", invalid(control_invalid, "-1")},
        {"port = 0", invalid(control_invalid, "0")}};
    std::string file;
    std::vector<std::string> expected{"[INFO ] Loading config from: ./quorin_cfg.ini"};
    for (const auto& [line, log] : lines) {
        file += line + "\n";
        if (!log.empty()) expected.push_back(log);
    }
    expected.push_back("[INFO ] Config loaded from: ./quorin_cfg.ini");
    Server_Process server({.config = file});
    EXPECT_EQ(config_log(server), expected);
    expect_control_port_answers(port);
}

TEST_F(Config, file_in_the_working_directory_is_read_before_the_one_above_which_is_read_when_alone_or_named) {
    for (const int files : {2, 1, 0}) {  // both files; only ../; both, with --config naming ../
        SCOPED_TRACE(files);
        const auto port = free_port();
        const std::string config = "[control_service]\nport = " + std::to_string(port) + "\n",
                          other = "[device]\nbaudrate = 9600\n", path = files == 2 ? "./quorin_cfg.ini" : "../quorin_cfg.ini";
        Server_Process server({.config = files == 2 ? config : files == 1 ? "" : other,
                               .args = files == 0 ? std::vector<std::string>{"--config", path} : std::vector<std::string>{},
                               .parent_config = files == 2 ? other : config});
        EXPECT_THAT(config_log(server), ElementsAre("[INFO ] Loading config from: " + path, loaded_control_port(port),
                                                    "[INFO ] Config loaded from: " + path));
        expect_control_port_answers(port);
    }
}

TEST_F(Config, control_port_in_use_ends_the_program_before_any_service_starts_also_the_default_one_without_a_file) {
    // The default port 50000 is held here if it can be, so that the server fails on it rather
    // than run on a fixed port next to other tests.
    std::optional<Occupied_Port> default_port;
    try { default_port.emplace(50000); } catch (const std::runtime_error&) {}
    const Occupied_Port taken(0);
    const Server_Ports ports{.control = taken.port()};
    const std::vector<std::string> no_file{"[WARN ] Failed to open config file. Tried paths:",
                                           "[WARN ]   - /etc/quorin/quorin_cfg.ini", "[WARN ]   - ./quorin_cfg.ini",
                                           "[WARN ]   - ../quorin_cfg.ini"};
    for (const bool with_file : {true, false}) {
        SCOPED_TRACE(with_file ? "a config file" : "no config file");
        if (!with_file && !default_port) continue;
        // Without a file of its own the server finds none: "../" is the empty temporary directory.
        Server_Process server({.config = with_file ? ports.config() : "", .wait_until_started = false});
        // Standard input stays open: a server that went on to its console would not end here.
        ASSERT_EQ(server.wait_exit(), 2);
        EXPECT_EQ(server.err(), "Error binding acceptor: Address already in use\n");
        // No service was to start, no thread to report its priority, no prompt to be shown.
        EXPECT_EQ(config_log(server), with_file ? config_lines(ports) : no_file);
        EXPECT_EQ(without_log_lines(server.out()), "");
    }
}

enum class Ending { exit_line, end_of_input, console_sigterm, service_sigterm, service_sigint };

TEST(Startup_Shutdown, start_up_is_logged_before_the_first_prompt_and_exit_end_of_input_or_a_signal_stops_all_in_order) {
    for (const Ending ending : {Ending::exit_line, Ending::end_of_input, Ending::console_sigterm,
                                Ending::service_sigterm, Ending::service_sigint}) {
        SCOPED_TRACE(static_cast<int>(ending));
        const bool service = ending == Ending::service_sigterm || ending == Ending::service_sigint;
        const Server_Ports ports;
        auto options = Server_Process::options_with_ports(ports);
        if (service) options.args = {"--service"};
        Server_Process server(options);
        const std::string started = server.out().substr(0, server.out().find(prompt));
        auto start_up = config_lines(ports);
        for (const char* line : {"Starting TCP Control accept...", "Quorin core initializing...", "PDO Service started!",
                                 "SDO Service started!", "Control Service started!"})
            start_up.push_back(std::string("[INFO ] ") + line);
        // The PDO thread reports its priority whenever it gets to run: order checks leave it out.
        EXPECT_EQ(tagged_messages(log_lines(started), true), start_up);
        EXPECT_EQ(without_log_lines(started), "") << "only log lines come before the first prompt";

        if (service) server.close_stdin();  // a service does not read it, and runs on without it
        Tcp_Client client(ports.control);
        ASSERT_EQ(client.command("help me"), Expected::help_wrong_format);
        if (ending == Ending::exit_line) server.send_line("exit");
        if (ending == Ending::end_of_input) server.close_stdin();
        if (ending == Ending::console_sigterm || ending == Ending::service_sigterm) server.signal(SIGTERM);
        if (ending == Ending::service_sigint) server.signal(SIGINT);
        ASSERT_EQ(server.wait_exit(), 0);
        EXPECT_TRUE(client.wait_closed(5s)) << "the client's connection outlived the server";
        const std::string out = server.out();
        std::vector<std::string> stopping{"[INFO ] Control Service stopping...!", "[INFO ] A ctrl socket closed!",
                                          "[INFO ] PDO Service stopping...!", "[INFO ] SDO Service stopping...!",
                                          "[INFO ] Control Service stopped!", "[INFO ] PDO Service stopped!",
                                          "[INFO ] SDO Service stopped!"};
        if (ending >= Ending::console_sigterm)
            stopping.insert(stopping.begin(), ending == Ending::service_sigint ? "[INFO ] Received SIGINT, shutting down..."
                                                                              : "[INFO ] Received SIGTERM, shutting down...");
        const auto lines = log_lines(out);
        const auto first = find_message(lines, stopping.front().substr(8));
        ASSERT_TRUE(first) << out;
        EXPECT_EQ(tagged_messages(lines, true, *first), stopping);
        EXPECT_TRUE(out.ends_with("] [INFO ] SDO Service stopped!\n")) << "output after the last line";
        EXPECT_EQ(server.err(), "");
        // No reply to the line that ended it; the console's last words are its prompt.
        const std::string console_tail = without_log_lines(out.substr(std::min(out.size(), out.rfind(prompt))));
        if (service) EXPECT_EQ(without_log_lines(out), "") << "a service has no console";
        else if (ending == Ending::exit_line) EXPECT_EQ(console_tail, prompt + "> exit\n");
        else EXPECT_THAT(console_tail, ::testing::AnyOf(prompt + "> ", prompt + "> \n"));
        // Whatever the rung reached, the ladder ends in exactly one outcome line.
        EXPECT_EQ(count_messages_starting(lines, "Thread priority set to THREAD_PRIORITY_") +
                      count_messages_starting(lines, "Failed to set any thread priority"), 1u) << out;
    }
}

}  // namespace
}  // namespace Quorin_Test
