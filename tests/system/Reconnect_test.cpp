#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>

#include "support/Log_Lines.hpp"
#include "system/Device_Harness.hpp"

// A device unplugged and plugged back in under the same path, with reconnecting on.
namespace Quorin_Test {
namespace {

class Reconnect : public Device_Server_Test {
protected:
    Reconnect() : Device_Server_Test({}, "[device]\nreconnect_ms = 20\n") {}

    /// Unplugs `name`'s simulator and waits until the server has stopped its session.
    void unplug(const std::string& name) {
        Device_Simulator& device = *simulators.at(index_of(name));
        const std::string port = device.link_path();
        device.unplug();
        ASSERT_TRUE(logged("[WARN ] Device [" + name + "] lost its port [" + port + "]: ", false)) << server.out();
    }
    /// Plugs a new simulator in under `name`'s path.
    void plug(const std::string& name) { simulator(name); }
    std::size_t index_of(const std::string& name) const {
        for (std::size_t i = simulators.size(); i-- > 0;)
            if (simulators[i]->link_path() == link_of(name)) return i;
        throw std::runtime_error("no simulator " + name);
    }
    bool logged(const std::string& start, bool) { return server.wait_for_output("] " + start, 0, 30s).has_value(); }
    /// The reopen attempts of `name` that failed in its current outage, from diag.
    std::uint64_t failed_reopens(const std::string& name) {
        const std::string reply = ask("diag " + name + " -rts");
        const auto at = reply.find("reopen attempts failed: ");
        return at == std::string::npos ? 0 : std::stoull(reply.substr(at + 24));
    }
};

TEST_F(Reconnect, pdo_and_sdo_resume_on_the_same_ports_without_relinking) {
    const std::string port = add_device("hand").link_path();
    Udp_Client pdo, sdo;
    ASSERT_THAT(ask("pdo hand -o " + pdo.endpoint_args()), StartsWith("OK"));
    ASSERT_THAT(ask("pdo hand -f 100"), StartsWith("OK"));
    ASSERT_THAT(ask("pdo hand -e"), StartsWith("OK"));
    link_sdo(sdo);
    ASSERT_TRUE(pdo.receive(10s));
    unplug("hand");
    EXPECT_THAT(ask("diag hand -rts"), ::testing::HasSubstr("\n--link: down since "));
    EXPECT_EQ(ask("lsdev"), "{\"devices\":[\"hand\"]}\r\n");
    pdo.drain();

    const auto plugged = std::chrono::steady_clock::now();
    plug("hand");
    ASSERT_TRUE(logged("[INFO ] Device [hand] is back on [" + port + "] after ", false)) << server.out();
    ASSERT_TRUE(pdo.receive(30s)) << "TPDOs restart on the same channel\n" << server.out();
    std::cout << "TPDOs back " << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - plugged).count()
              << " ms after the plug\n";
    ASSERT_TRUE(sdo.send_to(ports.sdo, Udp_Client::sdo_request(7)));
    EXPECT_EQ(sdo.receive(10s), Udp_Client::sdo_request(7, 6, 0x61, 0)) << "the link made before the outage still answers";
    EXPECT_THAT(ask("diag hand -rts"), ::testing::HasSubstr("\n--link: up\n"));
}

TEST_F(Reconnect, close_and_delete_during_an_outage_end_its_retries_and_sigterm_stops_in_order) {
    for (const char* name : {"a", "b", "clock"}) add_device(name);
    for (const char* name : {"a", "b", "clock"}) unplug(name);
    EXPECT_EQ(ask("dev a -c"), Expected::closed("a"));
    EXPECT_EQ(ask("dev b -d"), Expected::destroyed("b"));
    plug("a");
    plug("b");
    // A port named relative to /dev is looked for there, not in the working directory.
    const std::string relative = simulator("rel").slave_path().substr(std::string("/dev/").size());
    expect_replies({{"bind rel " + relative, Expected::bound("rel", relative)}, {"dev rel -o", Expected::opened("rel")}});
    // "clock" stays out: once its failed attempts have gone up twice, the watch has looked at a since the plug.
    const auto before = failed_reopens("clock");
    ASSERT_TRUE(eventually([&] { return failed_reopens("clock") >= before + 2; }, 30s));
    EXPECT_THAT(server.out(), ::testing::Not(::testing::HasSubstr("Device [rel] lost its port")));
    EXPECT_EQ(ask("dev rel -d"), Expected::destroyed("rel"));
    EXPECT_THAT(ask("diag a -rts"), ::testing::HasSubstr("\n--link: down\n")) << "a closed device is not reopened";
    EXPECT_EQ(ask("lsbind"), "{\"binds\":[\"clock " + link_of("clock") + "\",\"a " + link_of("a") + "\"]}\r\n");
    EXPECT_EQ(ask("dev a -o"), Expected::opened("a")) << "an open reopens it at once";
    EXPECT_THAT(ask("dev clock -o"), ::testing::StartsWith("No such file or directory\r\n")) << "tried once, still out";

    server.signal(SIGTERM);
    ASSERT_EQ(server.wait_exit(), 0);
    EXPECT_THAT(shutdown_log(server.out()), ::testing::Contains("[INFO ] SDO Service stopped!"));
    EXPECT_EQ(shutdown_log(server.out()).front(), "[INFO ] Control Service stopping...!");
}

using Without_Reconnect = Device_Server_Test;

TEST_F(Without_Reconnect, a_lost_port_stays_lost_until_the_device_is_bound_again) {
    add_device("hand");
    simulators.front()->unplug();  // the server holds the line, so nothing can come back under its path
    EXPECT_TRUE(eventually([&] { return ask("diag hand -rts").find("\n--link: down\n") != std::string::npos; }, 30s));
    EXPECT_EQ(ask("dev hand -o"), Expected::usage_reply("dev", "EXCEPTION")) << "its session still runs, on a dead line";
    EXPECT_EQ(server.out().find("lost its port"), std::string::npos);
}

TEST(Reconnect_At_Start, a_device_bound_by_the_start_up_file_before_it_is_plugged_in_comes_up_once_it_is) {
    Temp_Dir files;
    const std::string port = files.path() + "/hand";
    Udp_Client sdo;
    files.write_file("commands", "bind hand " + port + "\ndev hand -o\nsdo hand -o " + sdo.endpoint_args() + "\n");
    const Server_Ports ports;
    Server_Process server({.config = ports.config() + "[device]\nreconnect_ms = 20\n", .control_port = ports.control,
                           .args = {"--service", "--commands", files.path() + "/commands"}});
    ASSERT_TRUE(server.wait_for_output("] [WARN ] Device [hand] bound to [" + port + "], which cannot be opened now ("));
    EXPECT_TRUE(server.wait_for_output("] [WARN ] Start-up command at line 2 failed: dev hand -o\n"));
    EXPECT_EQ(Tcp_Client(ports.control).command("bind arm " + port + "-arm"),
              "No such file or directory\r\n" + Expected::usage_reply("bind", "EXCEPTION")) << "an operator's bind is as ever";

    Quorin_Tools::Devsim::Config config;
    config.link_path = port;
    Device_Simulator device(config);
    device.start();
    ASSERT_TRUE(server.wait_for_output("] [INFO ] Device [hand] is back on [" + port + "] after ", 0, 30s)) << server.out();
    ASSERT_TRUE(sdo.send_to(ports.sdo, Udp_Client::sdo_request(3)));
    EXPECT_EQ(sdo.receive(10s), Udp_Client::sdo_request(3, 6, 0x61, 0));
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait_exit(), 0);
}

}  // namespace
}  // namespace Quorin_Test
