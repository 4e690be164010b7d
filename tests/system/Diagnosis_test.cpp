#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "system/Device_Harness.hpp"

// The diag command through the real binary, against a simulated device. Its link figures are
// counts of the last whole second: the tests wait for the figures they need, and check the
// layout and what must be zero or not, never a rate.
namespace Quorin_Test {
namespace {

const std::string idle_link =
    "[RT-SERIAL-OVERVIEW]\n--tx frame/s: 0\n--rx frame/s: 0\n--rx frame ok rate: 0.00 %\n--rx error/s: 0\n--rx error rate: 0.00 %\n"
    "--tx-rx timeout/s: [0]\n--tx-rx timeout rate: 0.00 %\n--bitrate: 0.000000 Mbps, tx: 0.000000 Mbps, rx: 0.000000 Mbps\n"
    "--unpack ok rate: 0.00 %\n--rx frame error/s: ok[0], header[0], source_id[0], destination_id[0], length[0], "
    "crc[0], payload[0]\n--link: up\n[RT-SERIAL-PDO]\n--real rpdo freq: 0 Hz\n--real tpdo freq: 0 Hz\n--tpdo tx-rx ok rate: 0.00 %\n"
    "--skipped pdo periods: 0\n"
    "[RT-SERIAL-NRT]\n--nrt tx/s: [0]\n--nrt tx-rx ok rate: 0.00 %\n[RT-SERIAL-SDO]\n--tx spb dropped: 0\n--rx spb dropped: 0\n"
    "--tx sdo discarded: 0\n";

/// A second of a clean PDO cycle after one RPDO of 5 bytes: what it must move is above zero.
const std::regex running_cycle(
    R"(--device: hand\n\[RT-SERIAL-OVERVIEW\]\n--tx frame/s: [1-9]\d*\n--rx frame/s: [1-9]\d*\n--rx frame ok rate: 100\.00 %\n)"
    R"(--rx error/s: 0\n--rx error rate: 0\.00 %\n--tx-rx timeout/s: \[\d+\]\n--tx-rx timeout rate: \d+\.\d\d %\n)"
    R"(--bitrate: (?!0\.000000)\d+\.\d{6} Mbps, tx: (?!0\.000000)\d+\.\d{6} Mbps, rx: (?!0\.000000)\d+\.\d{6} Mbps\n)"
    R"(--unpack ok rate: 100\.00 %\n--rx frame error/s: ok\[[1-9]\d*\], header\[0\], source_id\[0\], destination_id\[0\], )"
    R"(length\[0\], crc\[0\], payload\[0\]\n--link: up\n\[RT-SERIAL-PDO\]\n--real rpdo freq: [1-9]\d* Hz\n--real tpdo freq: [1-9]\d* Hz\n)"
    R"(--tpdo tx-rx ok rate: (?!0\.00)\d+\.\d\d %\n--skipped pdo periods: 0\n\[RT-SERIAL-NRT\]\n--nrt tx/s: \[0\]\n--nrt tx-rx ok rate: 0\.00 %\n)"
    R"(\[RT-SERIAL-SDO\]\n--tx spb dropped: 0\n--rx spb dropped: 0\n--tx sdo discarded: 0\n\[PDO-SERVICE\]\n)"
    R"(--total rpdo: \[1\]:\n)"
    R"(--total tpdo: \[[1-9]\d*\]:\n--total rpdo synced: \[1\]:\n--total rpdo bytes: \[5\]:\n)"
    R"(--total tpdo bytes: \[[1-9]\d*\]:\n)");

using Diagnosis = Device_Server_Test;

TEST_F(Diagnosis, sections_come_in_a_fixed_order_and_their_figures_follow_the_sdo_and_pdo_traffic) {
    add_device("hand");
    const std::string no_traffic =
        "----total rx sdo: [0]:\n----total tx sdo: [0]:\n----total rx sdo bytes: [0]:\n----total tx sdo bytes: [0]:\n";
    const std::string summary = "[SERVER]\n--devices: 1\n--total control connections: 1\n--pdo channels: 0\n--sdo mailboxes: ";
    expect_replies({
        {"diag hand -sdo 3 -pdo -rts -dev", "--device: hand\n[DEVICE]\n--serial port: " + link_of("hand") +
                                                "\n--baudrate: 4000000\n" + idle_link +
                                                "[PDO-SERVICE]\nFAILED to find pdo channel on [hand]\r\n"
                                                "[SDO-SERVICE]\nfailed to find sdo mailbox on [hand]\r\n"},
        {"diag hand", "--device: hand\n"},
        {"diag ghost -dev", "FAILED to find device [ghost]\r\n"},
        {"diag -a", summary + "0\n"},
        {"diag -h", Expected::usage_reply("diag")},
        {"diag hand -sdo 256", "value must be between 0 and 255\r\n" + Expected::usage_reply("diag", "OVERRANGE")},
    });
    expect_reply({"diag", "diag hand -x"}, Expected::usage_reply("diag", "WRONG FORMAT"));
    Udp_Client udp;
    link_sdo(udp);
    EXPECT_EQ(ask("diag -a"), summary + "1\n");
    for (std::uint32_t sequence = 0; sequence < 5; ++sequence) {
        ASSERT_TRUE(udp.send_to(ports.sdo, Udp_Client::sdo_request(sequence)));
        ASSERT_TRUE(udp.receive(10s)) << "answer " << sequence;
    }
    // Every kind of request the mailbox drops is counted: a bad header, too short, not one whole
    // message, a 0xF0 request beyond 1014 bytes, a stranger's.
    Bytes too_long = Udp_Client::sdo_request(9, 1015, 0xF0);
    for (const Bytes& dropped : {Udp_Client::sdo_request(6, 6, 0x80), Udp_Client::sdo_request(7, 5),
                                 Udp_Client::sdo_request(8, 7), too_long})
        ASSERT_TRUE(udp.send_to(ports.sdo, dropped));
    ASSERT_TRUE(Udp_Client().send_to(ports.sdo, Udp_Client::sdo_request(10)));
    const std::string drops = "--dropped requests: header[1], length[2], too long[1], unlinked sender[1], link removed[0]\n"
                              "--dropped answers: owed to removed link[0]\n";
    const std::string totals = "--device: hand\n[SDO-SERVICE]\n--linked id [00]:\n----total rx sdo: [5]:\n"
                               "----total tx sdo: [5]:\n----total rx sdo bytes: [30]:\n----total tx sdo bytes: [30]:\n"
                               "--linked id [07]:\n" + no_traffic + drops;
    // Identifiers ascend and collapse. An answer is counted once its send has completed, which may
    // be after the client has it.
    ask_until("diag hand -sdo 7 7 0", [&](const std::string& report) { return report == totals; });
    EXPECT_EQ(ask("sdo hand -c 0"), "OK removed sdo link on [hand]\r\n");
    EXPECT_EQ(ask("diag hand -sdo 0 7"), totals) << "the totals outlive the link";
    Udp_Client next;
    link_sdo(next);
    EXPECT_EQ(ask("diag hand -sdo 0"), "--device: hand\n[SDO-SERVICE]\n--linked id [00]:\n" + no_traffic + drops)
        << "a new link on the identifier starts from zero";
    EXPECT_TRUE(logged("[WARN ] Dropped sdo request from 127.0.0.1:" + std::to_string(udp.port()) +
                       " on [hand]: too long (later drops of this kind are only counted)"));

    // A PDO cycle moves the link figures; disabled, the link is idle again. (Faults by class: the session test.)
    ASSERT_THAT(ask("pdo hand -o " + udp.endpoint_args()), StartsWith("OK opened pdo channel"));
    ASSERT_EQ(ask("pdo hand -e"), "OK enabled pdo transmission on [hand]\r\n");
    ASSERT_TRUE(udp.send_to(ports.pdo, Bytes{1, 2, 3, 4, 5}));
    ask_until("diag hand -rts -pdo", [](const std::string& report) { return std::regex_match(report, running_cycle); });


    EXPECT_EQ(ask("pdo hand -d"), "OK disabled pdo transmission on [hand]\r\n");
    ask_until("diag hand -rts", [](const std::string& report) { return report == "--device: hand\n" + idle_link; });
}

}  // namespace
}  // namespace Quorin_Test
