// The Windows build (quorin.exe) under Wine, driven as a user would: its console through a
// pipe, its control port over TCP, UDP clients on its PDO and SDO ports, and COM7 mapped to
// the pseudo-terminal of a simulated device. scripts/wine-test builds everything, makes a
// fresh Wine prefix and runs this program in it, with the prefix in WINEPREFIX (its
// wineserver running), Wine's loader in QUORIN_WINE_LOADER and quorin.exe in QUORIN_WINDOWS_BINARY.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "support/Server_Process.hpp"
#include "support/Tcp_Client.hpp"
#include "support/Udp_Client.hpp"
#include "system/Expected_Replies.hpp"
#include "tools/devsim/Device_Simulator.hpp"

namespace Quorin_Test {
namespace {

using ::testing::HasSubstr;

std::string environment(const char* name) {
    if (const char* value = std::getenv(name); value != nullptr && *value != '\0') return value;
    throw std::runtime_error(std::string(name) + " is not set: run scripts/wine-test");
}

/// The registry key Windows lists its serial ports under.
const std::string serial_comm_key = "'HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM'";

/// Runs a Windows program of the prefix (such as "reg") with `arguments`, which the shell
/// splits; its standard output with the C runtime's "\r" taken out.
std::string run_in_wine(const std::string& arguments) {
    const std::string command = "'" + environment("QUORIN_WINE_LOADER") + "' " + arguments + " 2>/dev/null";
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe) throw std::runtime_error("cannot run " + arguments);
    std::string out;
    for (char buffer[4096]; const std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe.get());)
        out.append(buffer, got);
    return std::erase(out, '\r'), out;
}

/// The serial ports Windows lists as {name, data}: "reg query" shows each string value as four
/// blanks, its name, "    REG_SZ    " and its data.
std::vector<std::pair<std::string, std::string>> serial_comm_values() {
    std::vector<std::pair<std::string, std::string>> values;
    std::istringstream lines(run_in_wine("reg query " + serial_comm_key));
    for (std::string line; std::getline(lines, line);)
        if (const auto at = line.find("    REG_SZ    "); line.starts_with("    ") && at != std::string::npos)
            values.emplace_back(line.substr(4, at - 4), line.substr(at + 14));
    return values;
}

/// A file that is removed when this goes out of scope.
struct Removed_At_End {
    const std::string path;
    ~Removed_At_End() { std::filesystem::remove(path); }
};

/// The number in `text` after `label`; 0 if `label` is missing.
double figure_after(const std::string& text, const std::string& label) {
    const auto at = text.find(label);
    return at == std::string::npos ? 0 : std::stod(text.substr(at + label.size()));
}

/// The reply to a command whose reply has no end of its own (a diag report): "lsdev" is sent
/// after it, and its reply, which ends in "]}\r\n", marks the end.
std::string report_of(Tcp_Client& client, const std::string& line) {
    const std::string both = client.send(line + "\nlsdev\n") ? client.receive_until("]}\r\n").value_or("") : "";
    return both.substr(0, both.rfind("{\"devices\":"));
}

class Wine_Scenario : public ::testing::Test {
protected:
    /// Starts quorin.exe under Wine on its own ports with `config_extra` appended to its file.
    std::unique_ptr<Server_Process> start(const std::string& config_extra = "") {
        return std::make_unique<Server_Process>(Server_Process::Options{
            .config = ports.config() + config_extra, .control_port = ports.control, .args = {"--debug"},
            .command = {loader, windows_binary}, .console_echoes = false, .text_mode_output = true});
    }

    /// Sends "exit" at the console (or ends its input) and checks the exit status and the
    /// shutdown lines, which follow `before_services` (devices stopping) in this order. Log
    /// lines are certain to be in out() only now: the C runtime buffers standard output on a
    /// pipe, and the logger does not flush.
    static void exit_cleanly(Server_Process& server, std::vector<std::string> expected = {}, bool by_exit = true) {
        by_exit ? server.send_line("exit") : server.close_stdin();
        ASSERT_EQ(server.wait_exit(30s), 0) << server.out() << server.err();
        expected.insert(expected.end(), {"Control Service stopping...!", "PDO Service stopping...!", "SDO Service stopping...!",
                                         "Control Service stopped!", "PDO Service stopped!", "SDO Service stopped!"});
        std::optional<std::size_t> found;
        for (const std::string& message : expected)
            ASSERT_TRUE(found = find_message(log_lines(server.out()), message, found ? *found + 1 : 0))
                << "[" << message << "] missing or out of order in:\n" << server.out();
        EXPECT_EQ(server.err(), "");
    }

    const std::string loader = environment("QUORIN_WINE_LOADER"), windows_binary = environment("QUORIN_WINDOWS_BINARY");
    const Server_Ports ports;
};

TEST_F(Wine_Scenario, help_at_the_console_and_over_tcp_then_exit_or_end_of_input) {
    for (const bool by_exit : {true, false}) {
        const auto server = start();
        EXPECT_EQ(server->console_command("help"), Expected::help_listing + "\n");
        EXPECT_EQ(server->console_command("exit "), Expected::unknown_command_with_listing + "\n");
        Tcp_Client client(server->ctrl_port());
        EXPECT_EQ(client.command("help", "\n\n"), Expected::help_listing);
        EXPECT_EQ(client.command("lsport now", ">-WRONG FORMAT\r\n"), "USAGE: lsport\r\n>-WRONG FORMAT\r\n");
        client.close(), exit_cleanly(*server, {}, by_exit);
        // The PDO thread got the top rung of the ladder from SetThreadPriority.
        EXPECT_TRUE(find_message(log_lines(server->out()), "Thread priority set to THREAD_PRIORITY_HIGHEST"));
        EXPECT_EQ(count_messages_starting(log_lines(server->out()), "Failed to set"), 0u) << server->out();
    }
    Server_Process version({.args = {"--version"}, .wait_until_started = false, .command = {loader, windows_binary},
                            .text_mode_output = true});
    ASSERT_EQ(version.wait_exit(30s), 0);
    EXPECT_THAT(version.out(), ::testing::MatchesRegex("quorin v1\\.1\\.0\nQuorin Core-Socket, old name = mirelon data server\n"
                                                       "Build: Release, GNU [0-9.]+, Windows/AMD64, [0-9T:-]+\\+0000 @.+\n"));
}

// One device on COM7 through its life: listed, bound at the configured rate, opened, closed and
// opened again, carrying PDO and SDO traffic, and closed at exit.
TEST_F(Wine_Scenario, com7_is_listed_bound_at_the_configured_rate_and_carries_pdo_and_sdo_traffic) {
    // A simulated device on a pty, mapped to COM7 while it lives: the DOS device com7 of the
    // prefix links to the device's published pty, so Windows programs open "\\.\COM7" as it.
    const Temp_Dir links;
    Quorin_Tools::Devsim::Config config;
    config.link_path = links.path() + "/sim0";
    Quorin_Tools::Devsim::Device_Simulator simulator(config);
    simulator.start();
    const Removed_At_End com7{environment("WINEPREFIX") + "/dosdevices/com7"};
    std::filesystem::remove(com7.path);
    std::filesystem::create_symlink(simulator.link_path(), com7.path);
    const auto server = start("[device]\nbaudrate = 115200\n");
    Tcp_Client control(server->ctrl_port());
    // Wine registers the ports it found itself; COM7 is only a DOS device link, not among them.
    const auto values = serial_comm_values();
    std::string listing = "{\"ports\":[";
    for (const auto& [name, port] : values) listing += (listing.ends_with("[") ? "\"" : ",\"") + port + "\"";
    EXPECT_EQ(control.command("lsport"), listing + "]}\r\n");
    // Without the key every COM name that opens and reports a state is listed: COM7 does.
    // (Windows would leave out a port that is open already; Wine does not share-lock
    // character devices, so that case cannot be shown here.) The key is made again after.
    run_in_wine("reg delete " + serial_comm_key + " /f");
    EXPECT_THAT(control.command("lsport").value_or(""), HasSubstr("\"COM7\""));
    for (const auto& [name, data] : values)
        run_in_wine("reg add " + serial_comm_key + " /v '" + name + "' /t REG_SZ /d '" + data + "' /f");

    const std::string refused = control.command("bind ghost COM9", ">-EXCEPTION\r\n").value_or("");
    const std::string message = refused.substr(0, refused.find("\r\n"));
    EXPECT_FALSE(message.empty());
    EXPECT_EQ(refused, message + "\r\nCreate a device and bind to a specified serial port.\r\n"
                                 "USAGE: bind <device_name> <port_name>\r\n>-EXCEPTION\r\n");
    EXPECT_EQ(control.command("bind hand COM7"), "OK bind device [hand] to port [COM7]\r\n");
    EXPECT_EQ(control.command("bind other COM7", ">-FAILED\r\n"), "FAILED to bind device [other]\r\n>-FAILED\r\n");
    EXPECT_EQ(control.command("lsbind"), "{\"binds\":[\"hand COM7\"]}\r\n");
    // The line as the pty sees it: the configured 115200 baud (Wine has no USB device behind
    // COM7, so it is not native), 8 data bits, no parity, one stop bit, no flow control.
    const Fd line(::open(simulator.slave_path().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    termios settings{};
    ASSERT_EQ(::tcgetattr(line, &settings), 0);
    EXPECT_EQ(std::pair(::cfgetospeed(&settings), settings.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS)),
              std::pair(speed_t{B115200}, tcflag_t{CS8}));
    EXPECT_EQ(control.command("dev hand -o"), "OK opened device [hand]\r\n");
    // The rate diag reports is read back from the port's communication state.
    EXPECT_EQ(control.command("diag hand -dev", "--baudrate: 115200\n"),
              "--device: hand\n[DEVICE]\n--serial port: COM7\n--baudrate: 115200\n");
    // A session stopped and started again keeps its port open.
    EXPECT_EQ(control.command("dev hand -c"), "OK closed device [hand]\r\n");
    EXPECT_EQ(control.command("dev hand -o"), "OK opened device [hand]\r\n");

    Udp_Client pdo, first, second;
    const std::string channel = std::to_string(ports.pdo), mailbox = std::to_string(ports.sdo);
    EXPECT_EQ(control.command("pdo hand -o " + pdo.endpoint_args()),
              "OK opened pdo channel: server 0.0.0.0 " + channel + " client " + pdo.endpoint_args() + " on [hand]\r\n");
    for (const Udp_Client* client : {&first, &second})
        EXPECT_EQ(control.command("sdo hand -o " + client->endpoint_args()),
                  "OK add sdo link: server 0.0.0.0 " + mailbox + " client " + client->endpoint_args() + " on [hand]\r\n");
    EXPECT_EQ(control.command("lspdo"), "{\"channels\":[\"0.0.0.0:" + channel + " 127.0.0.1:" + std::to_string(pdo.port()) + "\"]}\r\n");
    EXPECT_EQ(control.command("lssdo hand"), "{\"mailboxes\":[\"[0] 127.0.0.1:" + std::to_string(first.port()) +
                                                 "\",\"[1] 127.0.0.1:" + std::to_string(second.port()) + "\"]}\r\n");
    ASSERT_EQ(control.command("pdo hand -e"), "OK enabled pdo transmission on [hand]\r\n");
    // The RPDO crosses the PDO socket, the session and COM7 to the device, which echoes it.
    const Bytes rpdo{1, 2, 3, 4, 5};
    ASSERT_TRUE(pdo.send_to(ports.pdo, rpdo) && pdo.wait_for(padded(rpdo)));
    EXPECT_EQ(simulator.last_rpdo_data(), padded(rpdo));
    // Each SDO request goes into the mailbox stamped with its client's EPID (byte 4), crosses
    // COM7 in the gaps of the PDO cycle, and the device's echo goes back to that client alone:
    // the first client's next datagram is the answer to its next request.
    const auto stamped = [](int n, std::uint8_t epid) { Bytes request = Udp_Client::sdo_request(n); request[4] = epid; return request; };
    ASSERT_TRUE(first.send_to(ports.sdo, Udp_Client::sdo_request(1)) && second.send_to(ports.sdo, Udp_Client::sdo_request(2)));
    EXPECT_EQ(second.receive(10s), stamped(2, 1));
    EXPECT_EQ(first.receive(10s), stamped(1, 0));
    ASSERT_TRUE(first.send_to(ports.sdo, Udp_Client::sdo_request(3)));
    EXPECT_EQ(first.receive(10s), stamped(3, 0));
    // An answer is counted once its send has completed, which may be after the client has it.
    const std::string sdo_totals = "--device: hand\n[SDO-SERVICE]\n"
                                   "--linked id [00]:\n----total rx sdo: [2]:\n----total tx sdo: [2]:\n"
                                   "----total rx sdo bytes: [12]:\n----total tx sdo bytes: [12]:\n"
                                   "--linked id [01]:\n----total rx sdo: [1]:\n----total tx sdo: [1]:\n"
                                   "----total rx sdo bytes: [6]:\n----total tx sdo bytes: [6]:\n"
                                   "--dropped requests: header[0], length[0], too long[0], unlinked sender[0], link removed[0]\n"
                                   "--dropped answers: owed to removed link[0]\n";
    std::string report;
    EXPECT_TRUE(eventually([&] { return (report = report_of(control, "diag hand -sdo 1 0")) == sdo_totals; }, 10s)) << report;
    EXPECT_THAT(report_of(control, "diag -a"),
                HasSubstr("[SERVER]\n--devices: 1\n--total control connections: 1\n--pdo channels: 1\n--sdo mailboxes: 1\n"));
    // The link figures are taken once a second: poll until a second with TPDO answers is in them.
    eventually([&] { return figure_after(report = report_of(control, "diag hand -rts -pdo"), "--real tpdo freq: ") > 0; }, 10s);
    for (const char* label : {"--real tpdo freq: ", "--rx frame ok rate: ", "--total tpdo: ["})
        EXPECT_GT(figure_after(report, label), 0) << label << report;
    EXPECT_EQ(figure_after(report, "--total rpdo: ["), 1) << report;
    control.close(), exit_cleanly(*server, {"Failed to open registry key for COM ports (error: 2), using fallback method",
                                            "Found COM port (fallback): COM7", "Error opening serial port [COM9]: " + message, "Checking Windows VID/PID for port:COM7",
                           "Serial port [COM7] opened!", "Session started on [COM7]!",
                           "Session thread priority set to THREAD_PRIORITY_HIGHEST on [COM7]", "Session stopped on [COM7]!",
                           "Session started on [COM7]!", "Session stopped on [COM7]!", "Serial port [COM7] closed!"});
    EXPECT_EQ(server->out().find("Found matching"), std::string::npos);
    // Unread input is purged before every TPDO request.
    EXPECT_EQ(server->out().find("Could not discard input"), std::string::npos);
    EXPECT_EQ(count_messages_starting(log_lines(server->out()), "Failed to open registry key"), 1u);
    const auto counters = simulator.counters();
    EXPECT_EQ(std::tuple(counters.crc_errors, counters.sdo_messages, counters.tpdo_answers > 0), std::tuple(0u, 3u, true));
}

}  // namespace
}  // namespace Quorin_Test
