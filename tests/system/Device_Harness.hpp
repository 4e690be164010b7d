#pragma once

#include <gmock/gmock.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/Server_Process.hpp"
#include "support/Tcp_Client.hpp"
#include "support/Test_Helpers.hpp"
#include "support/Udp_Client.hpp"
#include "system/Expected_Replies.hpp"
#include "tools/devsim/Device_Simulator.hpp"

// What the tests of device-bound commands share: a server with a control client, simulated
// devices published in a temporary directory, and the commands' fixed replies.
namespace Quorin_Test {

using Quorin_Tools::Devsim::Device_Simulator;
using ::testing::StartsWith;

namespace Expected {

/// The parser's answer for `command` with `outcome` ("WRONG FORMAT", "OVERRANGE", "EXCEPTION"), or
/// the answer to its "-h" when `outcome` is empty: the description and usage as "help" lists them.
inline std::string usage_reply(const std::string& command, const std::string& outcome = "") {
    const auto description = help_listing.find("[" + command + "]: ") + command.size() + 4;
    const auto usage = help_listing.find("\nUSAGE: ", description) + 1;
    const std::string text = help_listing.substr(usage, help_listing.find("\n\n", usage) - usage);
    if (outcome == "WRONG FORMAT") return text + "\r\n>-WRONG FORMAT\r\n";
    return help_listing.substr(description, usage - 1 - description) + "\r\n" + text + "\r\n" +
           (outcome.empty() ? "" : ">-" + outcome + "\r\n");
}
inline std::string bound(const std::string& name, const std::string& port) {
    return "OK bind device [" + name + "] to port [" + port + "]\r\n";
}
inline std::string bind_refused(const std::string& name) { return "FAILED to bind device [" + name + "]\r\n>-FAILED\r\n"; }
inline std::string opened(const std::string& name) { return "OK opened device [" + name + "]\r\n"; }
inline std::string closed(const std::string& name) { return "OK closed device [" + name + "]\r\n"; }
inline std::string destroyed(const std::string& name) { return "OK destroyed device [" + name + "]\r\n"; }
inline std::string not_found(const std::string& name) { return "FAILED to find device [" + name + "]\r\n>-FAILED\r\n"; }
inline const std::string no_mailboxes = "{\"mailboxes\":[]}\r\n";

}  // namespace Expected

/// A running server with a client on its control port, its SDO and PDO ports from known free
/// ranges (four of each), and simulated devices published in a temporary directory.
class Device_Server_Test : public ::testing::Test {
protected:
    using Steps = std::vector<std::pair<std::string, std::string>>;
    using Lines = std::vector<std::string>;

    Device_Server_Test() = default;
    /// A server started through `command` (a program such as env, and its arguments before the
    /// binary's path), with `more_config` after the ports in its configuration.
    explicit Device_Server_Test(std::vector<std::string> command, const std::string& more_config = "")
        : server({.config = ports.config() + more_config, .control_port = ports.control, .command = std::move(command)}) {}

    /// A clean end of the server, so that a crash or a sanitizer's report fails the test that caused it.
    void TearDown() override {
        server.close_stdin();
        EXPECT_EQ(server.wait_exit(), 0);
        EXPECT_EQ(server.err(), "");
    }

    /// The whole reply to `line` on the control connection. A command whose reply is known
    /// follows it, so that a reply of any form is complete when that one has come.
    std::string ask(const std::string& line) {
        const std::string& marker_reply = Expected::help_wrong_format;
        const auto replies = client.send(line + "\nhelp me\n") ? client.receive_until(marker_reply) : std::nullopt;
        EXPECT_TRUE(replies) << "no reply to [" << line << "]";
        return replies ? replies->substr(0, replies->size() - marker_reply.size()) : "<no reply>";
    }
    /// Asks `line` until `done` holds for the reply; the last reply.
    std::string ask_until(const std::string& line, const std::function<bool(const std::string&)>& done) {
        std::string reply;
        EXPECT_TRUE(eventually([&] { return done(reply = ask(line)); }, 30s)) << line << " ->\n" << reply;
        return reply;
    }
    void expect_replies(const Steps& steps) {
        for (const auto& [line, reply] : steps) EXPECT_EQ(ask(line), reply) << line;
    }
    void expect_reply(const Lines& lines, const std::string& reply) {
        for (const auto& line : lines) EXPECT_EQ(ask(line), reply) << line;
    }
    /// Links `udp` to the mailbox of `device`, expected on the SDO port `mailbox` ports up.
    void link_sdo(const Udp_Client& udp, const std::string& device = "hand", unsigned mailbox = 0) {
        EXPECT_EQ(ask("sdo " + device + " -o " + udp.endpoint_args()),
                  "OK add sdo link: server 0.0.0.0 " + std::to_string(ports.sdo + mailbox) + " client " +
                      udp.endpoint_args() + " on [" + device + "]\r\n");
    }

    /// A started simulator of `config` published as `name`, not bound.
    Device_Simulator& simulator(const std::string& name, Quorin_Tools::Devsim::Config config = {}) {
        config.link_path = link_of(name);
        simulators.push_back(std::make_unique<Device_Simulator>(config));
        simulators.back()->start();
        return *simulators.back();
    }
    /// A simulator published as `name`, with device `name` bound to it and opened.
    Device_Simulator& add_device(const std::string& name, Quorin_Tools::Devsim::Config config = {}) {
        Device_Simulator& device = simulator(name, config);
        expect_replies({{"bind " + name + " " + device.link_path(), Expected::bound(name, device.link_path())},
                        {"dev " + name + " -o", Expected::opened(name)}});
        return device;
    }
    std::string link_of(const std::string& name) const { return links.path() + "/" + name; }

    /// Waits until the server has logged `tagged` ("[INFO ] Session started on [x]!") as a whole line.
    bool logged(const std::string& tagged) { return server.wait_for_output("] " + tagged + "\n").has_value(); }

    const std::uint16_t first_port = free_port_range(9);  // control, 4 SDO, 4 PDO
    const Server_Ports ports{first_port, std::uint16_t(first_port + 1), std::uint16_t(first_port + 5)};
    Temp_Dir links;
    std::vector<std::unique_ptr<Device_Simulator>> simulators;
    Server_Process server{Server_Process::options_with_ports(ports)};
    Tcp_Client client{server.ctrl_port()};
};

}  // namespace Quorin_Test
