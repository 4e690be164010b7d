#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/Free_Port.hpp"
#include "support/Server_Process.hpp"
#include "support/Tcp_Client.hpp"
#include "support/Test_Helpers.hpp"
#include "system/Expected_Replies.hpp"
#include "tools/devsim/Device_Simulator.hpp"

// What the tests of device-bound commands share: a server with a control client, simulated
// devices published in a temporary directory, and the commands' fixed replies.
namespace Quorin_Test {

using Quorin_Tools::Devsim::Counters;
using Quorin_Tools::Devsim::Device_Simulator;

namespace Expected {

inline const std::string bind_description = "Create a device and bind to a specified serial port.";
inline const std::string bind_usage = "USAGE: bind <device_name> <port_name>";
inline const std::string dev_description = "Device operations.";
inline const std::string dev_usage =
    "USAGE: dev <device_name> <option> <param>\n"
    "            -d: delete a device\n"
    "            -o: open a device\n"
    "            -c: close a device";

inline const std::string bind_wrong_format = bind_usage + "\r\n>-WRONG FORMAT\r\n";
inline const std::string dev_wrong_format = dev_usage + "\r\n>-WRONG FORMAT\r\n";
/// What the parser adds after a handler's own line when the handler caught an exception.
inline const std::string bind_exception = bind_description + "\r\n" + bind_usage + "\r\n>-EXCEPTION\r\n";
inline const std::string dev_exception = dev_description + "\r\n" + dev_usage + "\r\n>-EXCEPTION\r\n";

inline const std::string no_devices = "{\"devices\":[]}\r\n";
inline const std::string no_binds = "{\"binds\":[]}\r\n";

inline std::string bound(const std::string& name, const std::string& port) {
    return "OK bind device [" + name + "] to port [" + port + "]\r\n";
}
inline std::string bind_refused(const std::string& name) {
    return "FAILED to bind device [" + name + "]\r\n>-FAILED\r\n";
}
inline std::string opened(const std::string& name) { return "OK opened device [" + name + "]\r\n"; }
inline std::string closed(const std::string& name) { return "OK closed device [" + name + "]\r\n"; }
inline std::string destroyed(const std::string& name) { return "OK destroyed device [" + name + "]\r\n"; }
inline std::string not_found(const std::string& name) { return "FAILED to find device [" + name + "]\r\n>-FAILED\r\n"; }

}  // namespace Expected

/// A simulated device published as the link `name` in `dir`, started.
inline std::unique_ptr<Device_Simulator> start_simulator(
    const Temp_Dir& dir, const std::string& name,
    std::optional<std::chrono::milliseconds> replug_after = std::nullopt) {
    Quorin_Tools::Devsim::Config config;
    config.link_path = dir.path() + "/" + name;
    config.replug_after = replug_after;
    auto simulator = std::make_unique<Device_Simulator>(config);
    simulator->start();
    return simulator;
}

/// True when the simulator has received nothing and counted no fault of any kind.
inline bool saw_nothing(const Device_Simulator& simulator) { return simulator.counters() == Counters{}; }

/// A running server with a client on its control port, its SDO and PDO ports from known free
/// ranges, and simulated devices published in a temporary directory.
class Device_Server_Test : public ::testing::Test {
protected:
    /// The control port, then four SDO ports, then four PDO ports, all free.
    static Server_Ports port_block() {
        const std::uint16_t first = free_port_range(9);
        return {first, static_cast<std::uint16_t>(first + 1), static_cast<std::uint16_t>(first + 5)};
    }

    /// Every test ends with a clean end of the server, so that a sanitizer's report or a
    /// crash in the server fails the test that caused it.
    void TearDown() override {
        server.close_stdin();
        EXPECT_EQ(server.wait_exit(), 0);
        EXPECT_EQ(server.err(), "");
    }

    /// The whole reply to `line` on the control connection. A command whose reply is known
    /// follows it, so that a reply of any form is complete when that one has come.
    std::string ask(const std::string& line) {
        static const std::string& marker_reply = Expected::help_wrong_format;
        if (!client.send(line + "\nhelp me\n")) return "<send failed>";
        const auto replies = client.receive_until(marker_reply);
        EXPECT_TRUE(replies) << "no reply to [" << line << "]";
        if (!replies) return "<no reply>";
        return replies->substr(0, replies->size() - marker_reply.size());
    }

    /// The reply to `line` at the console, without the console's own "\n".
    std::string reply_to(const std::string& line) {
        const auto reply = server.console_command(line);
        EXPECT_TRUE(reply) << "no prompt after [" << line << "]:\n" << server.out();
        if (!reply || reply->empty()) return "<no reply>";
        return reply->substr(0, reply->size() - 1);
    }

    /// Starts a simulator of `config` published as `name`, then binds device `name` to it and
    /// opens the device.
    Device_Simulator& add_device(const std::string& name, Quorin_Tools::Devsim::Config config = {}) {
        config.link_path = link_of(name);
        simulators.push_back(std::make_unique<Device_Simulator>(config));
        simulators.back()->start();
        EXPECT_EQ(ask("bind " + name + " " + config.link_path), Expected::bound(name, config.link_path));
        EXPECT_EQ(ask("dev " + name + " -o"), Expected::opened(name));
        return *simulators.back();
    }

    std::string link_of(const std::string& name) const { return links.path() + "/" + name; }

    /// Makes the console print something. The logger does not flush, and the server's output
    /// is a pipe: what other threads log waits in its buffer until the console flushes it.
    void flush_server_output() { server.console_command("help me", 2s); }

    /// Waits until the server has logged `tagged` ("[INFO ] Session started on [x]!") as a
    /// whole line, `count` times in all.
    bool logged(const std::string& tagged, std::size_t count = 1, std::chrono::milliseconds timeout = 10s) {
        return eventually([&] { return times_logged(tagged) >= count; }, timeout);
    }

    /// How often the server has logged `tagged` up to now.
    std::size_t times_logged(const std::string& tagged) {
        flush_server_output();
        const std::string out = server.out();
        const std::string line = "] " + tagged + "\n";
        std::size_t seen = 0;
        for (auto at = out.find(line); at != std::string::npos; at = out.find(line, at + 1)) ++seen;
        return seen;
    }

    const Server_Ports ports = port_block();
    Temp_Dir links;
    std::vector<std::unique_ptr<Device_Simulator>> simulators;
    Server_Process server{Server_Process::options_with_ports(ports)};
    Tcp_Client client{server.ctrl_port()};
};

}  // namespace Quorin_Test
