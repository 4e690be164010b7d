#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/Log_Lines.hpp"
#include "support/Udp_Client.hpp"
#include "system/Device_Harness.hpp"

// The pdo and lspdo commands through the real binary, with simulated devices that echo the
// last RPDO in every TPDO answer, and UDP clients on the loopback interface.
namespace Quorin_Test {
namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;

const std::string pdo_usage =
    "USAGE: pdo <device_name> <option> <param>\n"
    "        -o <ip, port>: open a pdo channel\n"
    "        -c: close a pdo channel\n"
    "        -e: enable pdo transmission\n"
    "        -d: disable pdo transmission\n"
    "        -f <freq>: set pdo freq\n"
    "        -f <freq> <tpdo_offset_ns> <rpdo_offset_ns>: set pdo freq, tpdo offset, rpdo offset\n"
    "        pdo -c: close all pdo channels on all devices";
const std::string wrong_format = pdo_usage + "\r\n>-WRONG FORMAT\r\n";
const std::string overrange = "PDO operations.\r\n" + pdo_usage + "\r\n>-OVERRANGE\r\n";
const std::string frequency_range = "value must be between 1.000000 and 500.000000\r\n";
const std::string no_channels = "{\"channels\":[]}\r\n";

/// True when nothing arrives once what was on its way (an answer to a request already made)
/// has been taken.
bool stays_quiet(Udp_Client& client) {
    client.receive_for(200ms);
    return !client.receive(300ms);
}

/// A server with simulated devices bound to it, whose commands are given at the console.
class PDO_Command : public Device_Server_Test {
protected:
    std::string port(unsigned offset) const { return std::to_string(ports.pdo + offset); }

    /// The "pdo -o" line for `name` and `client`, and its answer with the channel on port(offset).
    std::string open_line(const std::string& name, const Udp_Client& client) const {
        return "pdo " + name + " -o " + client.endpoint_args();
    }
    std::string opened(const std::string& name, unsigned offset, const Udp_Client& client) const {
        return "OK opened pdo channel: server 0.0.0.0 " + port(offset) + " client " + client.endpoint_args() +
               " on [" + name + "]\r\n";
    }
    std::string channel_record(unsigned offset, const Udp_Client& client) const {
        return "\"0.0.0.0:" + port(offset) + " 127.0.0.1:" + std::to_string(client.port()) + "\"";
    }

    /// A channel between `client` and device `name`, on port(offset), with PDO enabled.
    void run_channel(const std::string& name, unsigned offset, Udp_Client& client) {
        ASSERT_EQ(reply_to(open_line(name, client)), opened(name, offset, client));
        ASSERT_EQ(reply_to("pdo " + name + " -e"), "OK enabled pdo transmission on [" + name + "]\r\n");
    }
};

TEST_F(PDO_Command, a_client_gets_its_rpdo_back_in_a_tpdo_every_period_until_pdo_is_disabled) {
    add_device("hand");
    Udp_Client client;
    ASSERT_EQ(reply_to(open_line("hand", client)), opened("hand", 0, client));
    EXPECT_EQ(reply_to("lspdo"), "{\"channels\":[" + channel_record(0, client) + "]}\r\n");
    EXPECT_EQ(reply_to("pdo hand -f 100"), "OK set pdo freq 100.000000 Hz on [hand]\r\n");
    ASSERT_EQ(reply_to("pdo hand -e"), "OK enabled pdo transmission on [hand]\r\n");

    const Bytes rpdo{1, 2, 3, 4, 5};
    ASSERT_TRUE(client.send_to(ports.pdo, rpdo));
    ASSERT_TRUE(client.wait_for(padded(rpdo)));
    // 100 Hz; loose bounds, for a loaded machine delays the session thread (the rate itself
    // is the benchmark's business).
    const auto per_second = client.receive_for(1s).size();
    EXPECT_GE(per_second, 20u) << "100 Hz";
    EXPECT_LE(per_second, 130u) << "100 Hz";

    EXPECT_EQ(reply_to("pdo hand -f 200"),
              "FAILED to set pdo freq on [hand] while pdo transmission is enabled\r\n>-FAILED\r\n");
    EXPECT_EQ(reply_to("pdo hand -d"), "OK disabled pdo transmission on [hand]\r\n");
    EXPECT_TRUE(stays_quiet(client)) << "TPDOs after pdo was disabled";
}

TEST_F(PDO_Command, ports_count_up_a_device_or_client_already_served_is_refused_and_closing_lists_the_rest) {
    add_device("hand");
    add_device("arm");
    Udp_Client first, second, third;
    EXPECT_EQ(reply_to(open_line("hand", first)), opened("hand", 0, first));
    EXPECT_EQ(reply_to(open_line("arm", second)), opened("arm", 1, second));
    EXPECT_EQ(reply_to(open_line("hand", third)), "FAILED to open pdo channel on [hand]\r\n>-FAILED\r\n");
    EXPECT_EQ(reply_to("pdo arm -c"), "OK closed pdo channel on [arm]\r\n");
    EXPECT_EQ(reply_to(open_line("arm", first)), "FAILED to open pdo channel on [arm]\r\n>-FAILED\r\n");
    EXPECT_EQ(reply_to(open_line("arm", second)), opened("arm", 2, second)) << "port 1 is not given back";
    EXPECT_EQ(reply_to("lspdo"),
              "{\"channels\":[" + channel_record(0, first) + "," + channel_record(2, second) + "]}\r\n");

    EXPECT_EQ(reply_to("pdo -c"), "OK removed all pdo channels\r\n");
    EXPECT_EQ(reply_to("lspdo"), no_channels);
    EXPECT_EQ(reply_to("pdo -c"), "OK removed all pdo channels\r\n");
    EXPECT_EQ(reply_to("pdo arm -c"), "FAILED to close pdo channel on [arm]\r\n>-FAILED\r\n");
    EXPECT_EQ(reply_to("pdo hand -e"), "FAILED to find pdo channel on [hand]\r\n>-FAILED\r\n");
    EXPECT_EQ(reply_to("pdo hand -d"), "FAILED to find pdo channel on [hand]\r\n>-FAILED\r\n");
    EXPECT_EQ(reply_to("pdo nosuch -c"), "FAILED to find device [nosuch]\r\n>-FAILED\r\n");
}

TEST_F(PDO_Command, malformed_lines_are_answered_with_the_usage_and_change_nothing) {
    add_device("hand");
    EXPECT_EQ(reply_to("pdo"), wrong_format);
    EXPECT_EQ(reply_to("pdo -h"), "PDO operations.\r\n" + pdo_usage + "\r\n");
    EXPECT_EQ(reply_to("pdo -e"), wrong_format);
    EXPECT_EQ(reply_to("pdo hand"), wrong_format);
    EXPECT_EQ(reply_to("pdo hand now"), wrong_format);
    EXPECT_EQ(reply_to("pdo hand -z"), wrong_format);
    EXPECT_EQ(reply_to("pdo hand -c now"), wrong_format);
    EXPECT_EQ(reply_to("pdo hand -e -d"), wrong_format);
    EXPECT_EQ(reply_to("pdo hand -o 127.0.0.1"), wrong_format);
    EXPECT_EQ(reply_to("pdo hand -o 127.0.0.1 70000"), "port must be <0-65535>\r\n" + overrange);
    EXPECT_THAT(reply_to("pdo hand -o 999.0.0.1 9000"), EndsWith("\r\n" + wrong_format));
    EXPECT_EQ(reply_to("pdo hand -o ::1 9000"),
              "pdo client must have an IPv4 address\r\nPDO operations.\r\n" + pdo_usage + "\r\n>-EXCEPTION\r\n");
    EXPECT_EQ(reply_to("pdo hand -o 127.0.0.1 0"),
              "pdo client port must not be 0\r\nPDO operations.\r\n" + pdo_usage + "\r\n>-EXCEPTION\r\n");
    EXPECT_EQ(reply_to("lspdo now"), "USAGE: lspdo\r\n>-WRONG FORMAT\r\n");
    EXPECT_EQ(reply_to("lspdo"), no_channels);

    Udp_Client client;
    EXPECT_EQ(reply_to(open_line("hand", client)), opened("hand", 0, client)) << "no port was used up";
}

TEST_F(PDO_Command, a_frequency_out_of_range_or_not_a_number_or_with_offsets_changes_nothing) {
    add_device("hand");
    EXPECT_EQ(reply_to("pdo hand -f 50"), "OK set pdo freq 50.000000 Hz on [hand]\r\n") << "no channel needed";
    for (const char* text : {"nan", "NaN", "-nan", "1000", "0.5", "inf"})
        EXPECT_EQ(reply_to("pdo hand -f " + std::string(text)), frequency_range + overrange) << text;
    EXPECT_EQ(reply_to("pdo hand -f abc"), "stof\r\n" + wrong_format);
    EXPECT_EQ(reply_to("pdo hand -f 400 0 500000"), wrong_format);
    EXPECT_EQ(reply_to("pdo hand -f nan 0 500000"), frequency_range + overrange) << "the frequency is checked first";
    EXPECT_EQ(reply_to("pdo hand -f 400 0"), wrong_format);
    EXPECT_EQ(reply_to("pdo hand -f"), wrong_format);

    // Still 50 Hz: 400 Hz or more, had any of those lines been applied, would show far above.
    Udp_Client client;
    run_channel("hand", 0, client);
    ASSERT_TRUE(client.receive());
    const auto per_second = client.receive_for(1s).size();
    EXPECT_GE(per_second, 10u) << "50 Hz";
    EXPECT_LE(per_second, 90u) << "50 Hz";
}

TEST_F(PDO_Command, only_datagrams_of_1_to_1004_bytes_from_the_client_itself_reach_the_device) {
    add_device("hand");
    Udp_Client client, stranger;
    ASSERT_EQ(reply_to("pdo hand -f 500"), "OK set pdo freq 500.000000 Hz on [hand]\r\n");
    run_channel("hand", 0, client);
    const Bytes kept{1, 2, 3};
    ASSERT_TRUE(client.send_to(ports.pdo, kept));
    ASSERT_TRUE(client.wait_for(padded(kept)));

    // Each of these must leave the device's RPDO data as it was.
    stranger.send_to(ports.pdo, Bytes{9, 9});  // same address, another port
    client.send_to(ports.pdo, Bytes(1005, 8));
    client.send_to(ports.pdo, Bytes(2000, 7));
    client.send_to(ports.pdo, Bytes{});
    client.receive_for(100ms);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(client.receive(), padded(kept)) << "TPDO " << i;
    EXPECT_FALSE(stranger.receive(0ms)) << "TPDOs go to the client only";

    const Bytes longest(1004, 6);
    ASSERT_TRUE(client.send_to(ports.pdo, longest));
    ASSERT_TRUE(client.wait_for(padded(longest)));

    // Counted: the five datagrams from the client (2000 bytes arrive cut to 1024), not the
    // stranger's; synced: the 3 and the 1004 bytes only.
    std::string diagnosis;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    do diagnosis = reply_to("diag hand -pdo");
    while (diagnosis.find("--total rpdo: [5]:\n") == std::string::npos && std::chrono::steady_clock::now() < deadline);
    EXPECT_NE(diagnosis.find("--total rpdo: [5]:\n"), std::string::npos) << diagnosis;
    EXPECT_NE(diagnosis.find("--total rpdo synced: [2]:\n"), std::string::npos) << diagnosis;
    EXPECT_NE(diagnosis.find("--total rpdo bytes: [3036]:\n"), std::string::npos) << diagnosis;
}

TEST_F(PDO_Command, a_channel_closed_or_a_device_deleted_while_the_cycle_runs_sends_nothing_more_and_recovers) {
    add_device("hand");
    Udp_Client client;
    run_channel("hand", 0, client);
    const Bytes rpdo{4, 4};
    ASSERT_TRUE(client.send_to(ports.pdo, rpdo));
    ASSERT_TRUE(client.wait_for(padded(rpdo)));

    EXPECT_EQ(reply_to("pdo hand -c"), "OK closed pdo channel on [hand]\r\n");
    EXPECT_TRUE(stays_quiet(client)) << "TPDOs after the channel was closed";
    EXPECT_EQ(reply_to("lspdo"), no_channels);
    EXPECT_EQ(reply_to(open_line("hand", client)), opened("hand", 1, client));
    EXPECT_TRUE(client.wait_for(padded(rpdo))) << "the cycle ran on with the last RPDO data";

    // The device goes while its cycle and channel run, and takes its channel and port with it.
    EXPECT_EQ(reply_to("dev hand -d"), "OK destroyed device [hand]\r\n");
    EXPECT_EQ(reply_to("lspdo"), no_channels);
    EXPECT_TRUE(stays_quiet(client)) << "TPDOs after the device was deleted";

    // The serial port was released: the same link binds again and carries a new channel.
    EXPECT_EQ(reply_to("bind hand " + link_of("hand")), "OK bind device [hand] to port [" + link_of("hand") + "]\r\n");
    EXPECT_EQ(reply_to("dev hand -o"), "OK opened device [hand]\r\n");
    run_channel("hand", 2, client);
    ASSERT_TRUE(client.send_to(ports.pdo + 2, Bytes{6}));
    EXPECT_TRUE(client.wait_for(padded({6})));
}

TEST_F(PDO_Command, shutdown_with_channels_running_stops_devices_first_and_keeps_the_logged_order) {
    add_device("hand");
    add_device("arm");
    Udp_Client hand_client, arm_client;
    run_channel("hand", 0, hand_client);
    run_channel("arm", 1, arm_client);
    ASSERT_TRUE(hand_client.receive());
    ASSERT_TRUE(arm_client.receive());

    server.send_line("exit");
    ASSERT_EQ(server.wait_exit(), 0);
    const auto lines = log_lines(server.out());
    const auto stopping = find_message(lines, "Control Service stopping...!");
    ASSERT_TRUE(stopping) << server.out();
    for (const auto& name : {"hand", "arm"}) {
        const auto closed = find_message(lines, "Serial port [" + link_of(name) + "] closed!");
        ASSERT_TRUE(closed) << name;
        EXPECT_LT(*closed, *stopping) << name << "'s port closed after the services began to stop";
    }
    EXPECT_THAT(shutdown_log(server.out()), ElementsAre("[INFO ] Control Service stopping...!", "[INFO ] A ctrl socket closed!",
                                   "[INFO ] PDO Service stopping...!",
                                   "[INFO ] SDO Service stopping...!", "[INFO ] Control Service stopped!",
                                   "[INFO ] PDO Service stopped!", "[INFO ] SDO Service stopped!"));
    EXPECT_EQ(count_messages_starting(lines, "Error"), 0u) << server.out();
    EXPECT_EQ(server.err(), "");
}

}  // namespace
}  // namespace Quorin_Test
