// The Windows build (quorin.exe) under Wine, driven as a user would: its console through a
// pipe, its control port over TCP, UDP clients on its PDO and SDO ports, and COM7 mapped to
// the pseudo-terminal of a simulated device. scripts/wine-test builds everything, makes a
// fresh Wine prefix and runs this program in it (Wine_Prefix.hpp).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

#include "support/Free_Port.hpp"
#include "support/Log_Lines.hpp"
#include "support/Server_Process.hpp"
#include "support/Tcp_Client.hpp"
#include "support/Test_Helpers.hpp"
#include "support/Udp_Client.hpp"
#include "system/Expected_Replies.hpp"
#include "tools/devsim/Device_Simulator.hpp"
#include "wine/Wine_Prefix.hpp"

namespace Quorin_Test {
namespace {

using Quorin_Tools::Devsim::Device_Simulator;

/// The DOS device name of the COM port the scenarios bind (COM7).
constexpr const char* com_device = "com7";
/// The registry key Windows lists its serial ports under.
constexpr const char* serial_comm_key = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

/// A simulated device on a pty, published as a link in a directory of its own.
class Simulated_Device {
public:
    Simulated_Device() : simulator(config(links)) { simulator.start(); }

    /// The stable path COM7 is mapped to.
    const std::string& link() const { return simulator.link_path(); }
    Device_Simulator& operator*() { return simulator; }
    Device_Simulator* operator->() { return &simulator; }

private:
    static Quorin_Tools::Devsim::Config config(const Temp_Dir& links) {
        Quorin_Tools::Devsim::Config config;
        config.link_path = links.path() + "/sim0";
        return config;
    }

    Temp_Dir links;
    Device_Simulator simulator;
};

/// The line settings of a terminal device, as another opener sees them.
termios settings_of(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + path);
    termios settings{};
    const int result = ::tcgetattr(fd, &settings);
    ::close(fd);
    if (result != 0) throw std::runtime_error("no terminal settings on " + path);
    return settings;
}

/// The number in `text` after `label`, up to the next blank; nothing if `label` is missing.
std::optional<double> figure_after(const std::string& text, const std::string& label) {
    const auto at = text.find(label);
    if (at == std::string::npos) return std::nullopt;
    return std::stod(text.substr(at + label.size()));
}

/// The reply to a command whose reply has no end of its own (a diag report): "lsdev" is sent
/// after it, and its reply, which ends in "]}\r\n", marks the end.
std::string report_of(Tcp_Client& client, const std::string& line) {
    if (!client.send(line + "\nlsdev\n")) return {};
    const std::string both = client.receive_until("]}\r\n").value_or("");
    return both.substr(0, both.rfind("{\"devices\":"));
}

/// The JSON line lsport answers with for `ports`.
std::string port_listing(const std::vector<std::string>& ports) {
    std::string json = "{\"ports\":[";
    for (std::size_t i = 0; i < ports.size(); ++i) json += (i ? ",\"" : "\"") + ports[i] + "\"";
    return json + "]}\r\n";
}

class Wine_Scenario : public ::testing::Test {
protected:
    /// Starts quorin.exe under Wine with its own ports and `config_extra` appended to its file.
    std::unique_ptr<Server_Process> start(const std::string& config_extra = "",
                                         std::vector<std::string> args = {"--debug"}) {
        auto options = Server_Process::options_with_ports({.sdo = sdo_port, .pdo = pdo_port});
        options.config += config_extra;
        options.command = {wine.loader, wine.binary};
        options.args = std::move(args);
        options.console_echoes = false;
        options.text_mode_output = true;
        return std::make_unique<Server_Process>(options);
    }

    /// Sends "exit" at the console and checks the exit status and the shutdown lines, which
    /// follow the lines of `before_services` (devices stopping) in the given order. Log lines
    /// are certain to be in out() only now: standard output is a pipe, which the C runtime
    /// buffers, and the logger does not flush.
    void exit_cleanly(Server_Process& server, const std::vector<std::string>& before_services = {}) {
        server.send_line("exit");
        ASSERT_EQ(server.wait_exit(30s), 0) << server.out() << server.err();
        const auto lines = log_lines(server.out());
        std::size_t at = 0;
        std::vector<std::string> expected = before_services;
        for (const char* message : {"Control Service stopping...!", "PDO Service stopping...!",
                                    "SDO Service stopping...!", "Control Service stopped!", "PDO Service stopped!",
                                    "SDO Service stopped!"})
            expected.emplace_back(message);
        for (const std::string& message : expected) {
            const auto found = find_message(lines, message, at);
            ASSERT_TRUE(found) << "[" << message << "] missing or out of order in:\n" << server.out();
            at = *found + 1;
        }
        EXPECT_EQ(server.err(), "");
    }

    Wine_Prefix wine;
    const std::uint16_t sdo_port = free_port();
    const std::uint16_t pdo_port = free_port();
};

TEST_F(Wine_Scenario, start_up_help_at_the_console_and_over_tcp_and_exit) {
    const auto server = start();
    EXPECT_EQ(server->console_command("help"), Expected::help_listing + "\n");
    EXPECT_EQ(server->console_command("exit "), Expected::unknown_command_with_listing + "\n");
    Tcp_Client client(server->ctrl_port());
    EXPECT_EQ(client.command("help", "\n\n"), Expected::help_listing);
    EXPECT_EQ(client.command("lsport now", ">-WRONG FORMAT\r\n"), "USAGE: lsport\r\n>-WRONG FORMAT\r\n");
    client.close();
    exit_cleanly(*server);
    // The PDO thread got the top rung of the ladder from SetThreadPriority.
    const auto lines = log_lines(server->out());
    EXPECT_TRUE(find_message(lines, "Thread priority set to THREAD_PRIORITY_HIGHEST")) << server->out();
    EXPECT_EQ(count_messages_starting(lines, "Failed to set"), 0u);
}

TEST_F(Wine_Scenario, version_names_the_windows_target) {
    Server_Process::Options options;
    options.command = {wine.loader, wine.binary};
    options.args = {"--version"};
    options.wait_until_started = false;
    options.text_mode_output = true;
    Server_Process version(options);
    ASSERT_EQ(version.wait_exit(30s), 0);
    EXPECT_THAT(version.out(), ::testing::MatchesRegex("quorin v1\\.1\\.0\n"
                                                       "Quorin Core-Socket, old name = mirelon data server\n"
                                                       "Build: Release, GNU [0-9.]+, Windows/AMD64, "
                                                       "[0-9T:-]+\\+0000 @.+\n"));
}

TEST_F(Wine_Scenario, end_of_input_at_the_console_exits_too) {
    const auto server = start("", {});
    server->close_stdin();
    ASSERT_EQ(server->wait_exit(30s), 0) << server->out();
    EXPECT_TRUE(find_message(log_lines(server->out()), "SDO Service stopped!"));
}

TEST_F(Wine_Scenario, lsport_lists_wines_serialcomm_key_and_probes_without_it) {
    Simulated_Device device;
    const Dos_Device com7(wine, com_device, device.link());
    const auto server = start();
    Tcp_Client client(server->ctrl_port());

    // Wine registers the ports it found itself; COM7 is only a DOS device link, not among them.
    std::vector<std::string> registered;
    for (const auto& [name, port] : wine.registry_strings(serial_comm_key)) registered.push_back(port);
    EXPECT_EQ(client.command("lsport"), port_listing(registered));
    {
        // Without the key every COM name that opens and reports a state is listed: COM7 does.
        // (Windows would leave out a port that is open already; Wine does not share-lock
        // character devices, so that case cannot be shown here.)
        const Deleted_Registry_Key deleted(wine, serial_comm_key);
        EXPECT_THAT(client.command("lsport").value_or(""), ::testing::HasSubstr("\"COM7\""));
    }
    client.close();
    exit_cleanly(*server);
    const auto lines = log_lines(server->out());
    const auto fallback = find_message(lines, "Failed to open registry key for COM ports (error: 2), using fallback method");
    ASSERT_TRUE(fallback) << server->out();
    EXPECT_TRUE(find_message(lines, "Found COM port (fallback): COM7", *fallback)) << server->out();
    EXPECT_EQ(count_messages_starting(lines, "Failed to open registry key"), 1u);
}

TEST_F(Wine_Scenario, bind_hand_com7_opens_the_line_at_the_configured_rate) {
    Simulated_Device device;
    const Dos_Device com7(wine, com_device, device.link());
    const auto server = start("[device]\nbaudrate = 115200\n");
    Tcp_Client client(server->ctrl_port());

    EXPECT_EQ(client.command("bind hand COM7"), "OK bind device [hand] to port [COM7]\r\n");
    EXPECT_EQ(client.command("bind other COM7", ">-FAILED\r\n"), "FAILED to bind device [other]\r\n>-FAILED\r\n");
    EXPECT_EQ(client.command("lsbind"), "{\"binds\":[\"hand COM7\"]}\r\n");
    // The line as the pty sees it: the configured 115200 baud (Wine has no USB device behind
    // COM7, so it is not native), 8 data bits, no parity, one stop bit, no flow control.
    const termios settings = settings_of(device->slave_path());
    EXPECT_EQ(::cfgetospeed(&settings), static_cast<speed_t>(B115200));
    EXPECT_EQ(settings.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));

    EXPECT_EQ(client.command("dev hand -o"), "OK opened device [hand]\r\n");
    // The rate diag reports is read back from the port's communication state.
    EXPECT_EQ(client.command("diag hand -dev", "--baudrate: 115200\n"),
              "--device: hand\n[DEVICE]\n--serial port: COM7\n--baudrate: 115200\n");
    EXPECT_EQ(client.command("diag -a", "--sdo mailboxes: 0\n"),
              "[SERVER]\n--devices: 1\n--total control connections: 1\n--pdo channels: 0\n--sdo mailboxes: 0\n");
    // A session stopped and started again keeps its port open.
    EXPECT_EQ(client.command("dev hand -c"), "OK closed device [hand]\r\n");
    EXPECT_EQ(client.command("dev hand -o"), "OK opened device [hand]\r\n");
    client.close();
    exit_cleanly(*server, {"Checking Windows VID/PID for port:COM7", "Serial port [COM7] opened!",
                           "Session started on [COM7]!", "Session stopped on [COM7]!", "Session started on [COM7]!",
                           "Session stopped on [COM7]!", "Serial port [COM7] closed!"});
    EXPECT_EQ(server->out().find("Found matching"), std::string::npos);
}

TEST_F(Wine_Scenario, binding_a_com_port_that_is_not_mapped_fails_with_the_system_message) {
    const auto server = start();
    Tcp_Client client(server->ctrl_port());
    const std::string reply = client.command("bind ghost COM9", ">-EXCEPTION\r\n").value_or("");
    const std::string message = reply.substr(0, reply.find("\r\n"));
    EXPECT_FALSE(message.empty());
    EXPECT_EQ(reply, message + "\r\nCreate a device and bind to a specified serial port.\r\n"
                               "USAGE: bind <device_name> <port_name>\r\n>-EXCEPTION\r\n");
    EXPECT_EQ(client.command("lsbind"), "{\"binds\":[]}\r\n");
    client.close();
    exit_cleanly(*server, {"Error opening serial port [COM9]: " + message});
}

TEST_F(Wine_Scenario, a_udp_client_gets_its_rpdo_back_every_pdo_cycle_over_com7) {
    Simulated_Device device;
    const Dos_Device com7(wine, com_device, device.link());
    const auto server = start();
    Tcp_Client control(server->ctrl_port());
    ASSERT_EQ(control.command("bind hand COM7"), "OK bind device [hand] to port [COM7]\r\n");
    ASSERT_EQ(control.command("dev hand -o"), "OK opened device [hand]\r\n");

    Udp_Client client;
    const std::string channel = std::to_string(pdo_port);
    EXPECT_EQ(control.command("pdo hand -o " + client.endpoint_args()),
              "OK opened pdo channel: server 0.0.0.0 " + channel + " client " + client.endpoint_args() +
                  " on [hand]\r\n");
    EXPECT_EQ(control.command("lspdo"),
              "{\"channels\":[\"0.0.0.0:" + channel + " 127.0.0.1:" + std::to_string(client.port()) + "\"]}\r\n");
    ASSERT_EQ(control.command("pdo hand -e"), "OK enabled pdo transmission on [hand]\r\n");

    // The RPDO crosses the PDO socket, the session and COM7 to the device, which echoes it.
    const Bytes rpdo{1, 2, 3, 4, 5};
    ASSERT_TRUE(client.send_to(pdo_port, rpdo));
    ASSERT_TRUE(client.wait_for(padded(rpdo)));
    EXPECT_EQ(device->last_rpdo_data(), padded(rpdo));
    // 100 Hz by default; loose bounds, for a loaded machine delays the session thread.
    const auto per_second = client.receive_for(1s).size();
    EXPECT_GE(per_second, 20u);
    EXPECT_LE(per_second, 130u);

    // The link figures are taken once a second: wait for a second with TPDO answers in it.
    std::string report;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (figure_after(report, "--real tpdo freq: ").value_or(0) == 0 && std::chrono::steady_clock::now() < deadline)
        report = report_of(control, "diag hand -rts -pdo");
    EXPECT_GT(figure_after(report, "--real tpdo freq: ").value_or(0), 0) << report;
    EXPECT_GT(figure_after(report, "--rx frame ok rate: ").value_or(0), 0) << report;
    EXPECT_EQ(figure_after(report, "--total rpdo: [").value_or(0), 1) << report;
    EXPECT_GT(figure_after(report, "--total tpdo: [").value_or(0), 0) << report;

    EXPECT_EQ(control.command("pdo hand -d"), "OK disabled pdo transmission on [hand]\r\n");
    client.receive_for(200ms);
    EXPECT_EQ(client.receive(300ms), std::nullopt) << "TPDOs after pdo was disabled";
    control.close();
    exit_cleanly(*server, {"Session stopped on [COM7]!", "Serial port [COM7] closed!"});
    EXPECT_GT(device->counters().tpdo_answers, 0u);
    EXPECT_EQ(device->counters().crc_errors, 0u);
    // Unread input is purged before every TPDO request.
    EXPECT_EQ(server->out().find("Could not discard input"), std::string::npos);
}

TEST_F(Wine_Scenario, sdo_requests_come_back_to_their_clients_with_their_epids_over_com7) {
    Simulated_Device device;
    const Dos_Device com7(wine, com_device, device.link());
    const auto server = start();
    Tcp_Client control(server->ctrl_port());
    ASSERT_EQ(control.command("bind hand COM7"), "OK bind device [hand] to port [COM7]\r\n");
    ASSERT_EQ(control.command("dev hand -o"), "OK opened device [hand]\r\n");

    Udp_Client first, second;
    const std::string mailbox = std::to_string(sdo_port);
    for (const Udp_Client* client : {&first, &second}) {
        const std::string port = std::to_string(client->port());
        EXPECT_EQ(control.command("sdo hand -o 127.0.0.1 " + port),
                  "OK add sdo link: server 0.0.0.0 " + mailbox + " client 127.0.0.1 " + port + " on [hand]\r\n");
    }
    EXPECT_EQ(control.command("lssdo hand"), "{\"mailboxes\":[\"[0] 127.0.0.1:" + std::to_string(first.port()) +
                                                 "\",\"[1] 127.0.0.1:" + std::to_string(second.port()) + "\"]}\r\n");

    // Each request goes into the mailbox stamped with its client's EPID (byte 4), crosses COM7
    // in the gaps of the (idle) PDO cycle, and the device's echo goes back to that client alone.
    constexpr std::size_t epid_byte = 4;
    auto request = Udp_Client::sdo_request(1);
    auto other_request = Udp_Client::sdo_request(2);
    ASSERT_TRUE(first.send_to(sdo_port, request));
    ASSERT_TRUE(second.send_to(sdo_port, other_request));
    request[epid_byte] = 0;
    other_request[epid_byte] = 1;
    EXPECT_EQ(first.receive(10s), request);
    EXPECT_EQ(second.receive(10s), other_request);
    EXPECT_TRUE(first.receive_for(200ms).empty());

    EXPECT_EQ(report_of(control, "diag hand -sdo 1 0"),
              "--device: hand\n[SDO-SERVICE]\n"
              "--linked id [00]:\n----total rx sdo: [1]:\n----total tx sdo: [1]:\n"
              "----total rx sdo bytes: [6]:\n----total tx sdo bytes: [6]:\n"
              "--linked id [01]:\n----total rx sdo: [1]:\n----total tx sdo: [1]:\n"
              "----total rx sdo bytes: [6]:\n----total tx sdo bytes: [6]:\n");
    EXPECT_THAT(report_of(control, "diag -a"), ::testing::HasSubstr("--sdo mailboxes: 1\n"));
    control.close();
    exit_cleanly(*server, {"Session stopped on [COM7]!", "Serial port [COM7] closed!"});
    EXPECT_EQ(device->counters().sdo_messages, 2u);
}

}  // namespace
}  // namespace Quorin_Test
