#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <string>

#include "system/Device_Harness.hpp"

// The pdo and lspdo commands through the real binary, with simulated devices that echo the
// last RPDO in every TPDO answer, and UDP clients on the loopback interface.
namespace Quorin_Test {
namespace {

using Expected::usage_reply;
const std::string no_channels = "{\"channels\":[]}\r\n";

std::string opened(unsigned port, const std::string& client, const std::string& name = "hand") {
    return "OK opened pdo channel: server 0.0.0.0 " + std::to_string(port) + " client " + client + " on [" + name + "]\r\n";
}

using PDO_Command = Device_Server_Test;

TEST_F(PDO_Command, every_line_gets_its_fixed_reply_and_channel_ports_count_up) {
    add_device("hand");
    add_device("arm");
    const std::string wrong = usage_reply("pdo", "WRONG FORMAT"), overrange = usage_reply("pdo", "OVERRANGE");
    const auto refused = [](const std::string& name) { return "FAILED to open pdo channel on [" + name + "]\r\n>-FAILED\r\n"; };
    // No command sets the offsets; a frequency out of range, or not a number, is found first.
    expect_reply({"pdo", "pdo hand", "pdo hand now", "pdo hand -z", "pdo hand -c now", "pdo hand -o 127.0.0.1",
                  "pdo hand -f 400 0 500000", "pdo hand -f 400 0", "pdo hand -f"}, wrong);
    expect_reply({"pdo hand -f nan", "pdo hand -f 1000", "pdo hand -f 0.5", "pdo hand -f nan 0 500000"},
                 "value must be between 1.000000 and 500.000000\r\n" + overrange);
    expect_replies({
        {"pdo -h", usage_reply("pdo")}, {"pdo hand -f abc", "stof\r\n" + wrong},
        {"pdo hand -o 127.0.0.1 70000", "port must be <0-65535>\r\n" + overrange},
        {"pdo hand -o ::1 9000", "pdo client must have an IPv4 address\r\n" + usage_reply("pdo", "EXCEPTION")},
        {"pdo hand -o 127.0.0.1 0", "pdo client port must not be 0\r\n" + usage_reply("pdo", "EXCEPTION")},
        {"pdo nosuch -c", Expected::not_found("nosuch")}, {"lspdo now", "USAGE: lspdo\r\n>-WRONG FORMAT\r\n"},
        {"lspdo", no_channels}, {"pdo hand -f 50", "OK set pdo freq 50.000000 Hz on [hand]\r\n"},  // no channel needed
        // No line before used a port up; a device or a client has one channel; ports are not given back.
        {"pdo hand -o 127.0.0.1 9001", opened(ports.pdo, "127.0.0.1 9001")}, {"pdo hand -o 127.0.0.1 9003", refused("hand")},
        {"pdo arm -o 127.0.0.1 9002", opened(ports.pdo + 1, "127.0.0.1 9002", "arm")},
        {"pdo arm -o 127.0.0.1 9001", refused("arm")},
        {"pdo arm -c", "OK closed pdo channel on [arm]\r\n"},
        {"pdo arm -c", "FAILED to close pdo channel on [arm]\r\n>-FAILED\r\n"},
        {"pdo arm -o 127.0.0.1 9003", opened(ports.pdo + 2, "127.0.0.1 9003", "arm")},
        {"lspdo", "{\"channels\":[\"0.0.0.0:" + std::to_string(ports.pdo) + " 127.0.0.1:9001\",\"0.0.0.0:" +
                      std::to_string(ports.pdo + 2) + " 127.0.0.1:9003\"]}\r\n"},
        {"pdo -c", "OK removed all pdo channels\r\n"}, {"lspdo", no_channels},
        {"pdo hand -e", "FAILED to find pdo channel on [hand]\r\n>-FAILED\r\n"},
    });
}

TEST_F(PDO_Command, tpdos_echo_the_clients_rpdo_until_its_channel_or_device_goes) {
    add_device("hand");
    Udp_Client client, stranger, other;
    const std::string to_client = client.endpoint_args(), to_other = other.endpoint_args();
    const std::string enabled = "OK enabled pdo transmission on [hand]\r\n";
    expect_replies({
        {"pdo hand -f 500", "OK set pdo freq 500.000000 Hz on [hand]\r\n"},
        {"pdo hand -o " + to_client, opened(ports.pdo, to_client)}, {"pdo hand -e", enabled},
        {"pdo hand -f 200", "FAILED to set pdo freq on [hand] while pdo transmission is enabled\r\n>-FAILED\r\n"},
    });
    const Bytes kept{1, 2, 3}, longest(1004, 6);
    ASSERT_TRUE(client.send_to(ports.pdo, kept));
    ASSERT_TRUE(client.wait_for(padded(kept)));
    // None of these changes the device's RPDO data: from another port of the same address,
    // longer than 1004 bytes (2000 arrive cut to 1024), empty.
    ASSERT_TRUE(stranger.send_to(ports.pdo, Bytes{9, 9}));
    for (const Bytes& data : {Bytes(1005, 8), Bytes(2000, 7), Bytes{}, longest}) ASSERT_TRUE(client.send_to(ports.pdo, data));
    // Every TPDO carries the 3 bytes until the 1004 bytes are echoed.
    std::optional<Bytes> tpdo;
    for (int tpdos = 0; tpdos < 5000 && (tpdo = client.receive(10s)) == padded(kept); ++tpdos) {}
    ASSERT_EQ(tpdo, padded(longest));
    EXPECT_FALSE(stranger.receive(0ms)) << "TPDOs go to the client only";
    // Counted: the client's five datagrams, 3036 bytes, not the stranger's; synced: 3 and 1004 bytes.
    const std::string totals =
        ask_until("diag hand -pdo", [](const std::string& report) { return report.find("rpdo: [5]") != std::string::npos; });
    EXPECT_NE(totals.find("--total rpdo synced: [2]:\n--total rpdo bytes: [3036]:\n"), std::string::npos) << totals;

    // A closed channel sends nothing more: the cycle runs on for the next client, and by its
    // first TPDO none has come for the old one.
    ASSERT_EQ(ask("pdo hand -c"), "OK closed pdo channel on [hand]\r\n");
    client.drain();
    expect_replies({{"lspdo", no_channels}, {"pdo hand -o " + to_other, opened(ports.pdo + 1, to_other)}});
    EXPECT_TRUE(other.wait_for(padded(longest))) << "the cycle ran on with the last RPDO data";
    EXPECT_FALSE(client.receive(0ms)) << "a TPDO after the channel was closed";

    // The device goes with its cycle running and takes its channel along; its line is free again.
    ASSERT_EQ(ask("dev hand -d"), Expected::destroyed("hand"));
    other.drain();
    expect_replies({{"lspdo", no_channels}, {"bind hand " + link_of("hand"), Expected::bound("hand", link_of("hand"))},
                    {"dev hand -o", Expected::opened("hand")},
                    {"pdo hand -o " + to_client, opened(ports.pdo + 2, to_client)}, {"pdo hand -e", enabled}});
    ASSERT_TRUE(client.send_to(ports.pdo + 2, Bytes{6}));
    EXPECT_TRUE(client.wait_for(padded({6})));
    EXPECT_FALSE(other.receive(0ms)) << "a TPDO after the device was deleted";
}

TEST_F(PDO_Command, a_client_no_send_can_reach_costs_a_few_log_lines_not_one_a_period) {
    const Device_Simulator& device = add_device("hand");
    // A send to 255.255.255.255 without SO_BROADCAST fails at once, every period.
    for (const std::string& line : Lines{"pdo hand -f 500", "pdo hand -o 255.255.255.255 9000", "pdo hand -e"})
        ASSERT_THAT(ask(line), StartsWith("OK")) << line;
    ASSERT_TRUE(device.wait_for([](const auto& seen) { return seen.tpdo_answers >= 1000; }, 30s));
    EXPECT_TRUE(logged("[ERROR] Error sent udp-pdo data: Permission denied")) << "the first as ever";
    std::size_t lines = 0;
    for (const auto& line : log_lines(server.out())) lines += line.message.find("udp-pdo") != std::string::npos;
    EXPECT_LE(lines, 5u) << server.out();
}


/// A server whose wall clock the test steps, as NTP, an operator or a resumed VM would.
class Clock_Step : public Device_Server_Test {
protected:
    Clock_Step()
        : Device_Server_Test({"/usr/bin/env", std::string("LD_PRELOAD=") + QUORIN_CLOCK_STEP_SHIM,
                              // the shim comes before a sanitizer's runtime
                              "QUORIN_CLOCK_STEP_FILE=../clock_step", "ASAN_OPTIONS=verify_asan_link_order=0", QUORIN_BINARY}) {}
    /// Moves the server's wall clock to `by` from the true time, and waits for `frames` RPDOs more.
    bool step_and_wait(std::chrono::seconds by, std::uint64_t frames) {
        const std::int64_t ns = std::chrono::nanoseconds(by).count();
        std::ofstream(server.dir() + "/clock_step", std::ios::binary).write(reinterpret_cast<const char*>(&ns), sizeof ns);
        const std::uint64_t from = simulators.front()->counters().rpdo_frames;
        return simulators.front()->wait_for([&](const auto& seen) { return seen.rpdo_frames >= from + frames; }, 20s);
    }
};

TEST_F(Clock_Step, a_step_of_the_wall_clock_neither_stalls_nor_bursts_the_pdo_cycle) {
    const Device_Simulator& device = add_device("hand");
    const auto enabled = std::chrono::steady_clock::now();  // no later than the cycle's start
    for (const std::string& line : Lines{"pdo hand -o 127.0.0.1 9", "pdo hand -e"}) ASSERT_THAT(ask(line), StartsWith("OK"));
    ASSERT_TRUE(step_and_wait(0s, 10));
    EXPECT_TRUE(step_and_wait(-60s, 50)) << "the cycle stalled when the clock went back";
    ASSERT_TRUE(step_and_wait(60s, 50));
    const std::uint64_t sent = device.counters().rpdo_frames;  // at most one a period at 100 Hz: no catch-up
    EXPECT_LE(sent, std::uint64_t((std::chrono::steady_clock::now() - enabled) / 10ms) + 1);
    EXPECT_THAT(ask("diag hand -rts"), ::testing::HasSubstr("--skipped pdo periods: 0\n"));
}

}  // namespace
}  // namespace Quorin_Test
