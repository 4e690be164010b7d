#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "support/Udp_Client.hpp"
#include "system/Device_Harness.hpp"

// The diag command through the real binary, against a simulated device.
namespace Quorin_Test {
namespace {

/// The number in a report line "prefix<number>...", or -1 when the line is missing.
double figure(const std::string& report, const std::string& prefix) {
    const auto at = report.find(prefix);
    if (at == std::string::npos) return -1;
    return std::strtod(report.c_str() + at + prefix.size(), nullptr);
}

class Diagnosis : public Device_Server_Test {
protected:
    void run_pdo_at_100_hz() {
        ASSERT_EQ(reply_to("pdo hand -o " + udp.endpoint_args()).rfind("OK opened pdo channel", 0), 0u);
        ASSERT_EQ(reply_to("pdo hand -e"), "OK enabled pdo transmission on [hand]\r\n");
    }

    /// The -rts report once two whole seconds of the current traffic have been counted.
    std::string settled_rts_report() {
        std::this_thread::sleep_for(2200ms);  // the figures are per second: let two ticks pass
        return reply_to("diag hand -rts");
    }

    /// A device "hand" on a simulated device.
    Device_Simulator& add_hand() { return add_device("hand"); }

    Udp_Client udp;
};

TEST_F(Diagnosis, an_idle_link_reports_zero_everywhere) {
    add_hand();
    const auto report = settled_rts_report();
    for (const char* line : {"--tx frame/s: 0\n", "--rx frame/s: 0\n", "--rx frame ok rate: 0.00 %\n",
                             "--tx-rx timeout/s: [0]\n", "--tx-rx timeout rate: 0.00 %\n",
                             "--bitrate: 0.000000 Mbps, tx: 0.000000 Mbps, rx: 0.000000 Mbps\n",
                             "--rx frame error/s: ok[0], header[0], source_id[0], destination_id[0], length[0], "
                             "crc[0], payload[0]\n",
                             "--real rpdo freq: 0 Hz\n", "--tpdo tx-rx ok rate: 0.00 %\n", "--nrt tx/s: [0]\n",
                             "--tx spb dropped: 0\n", "--rx spb dropped: 0\n"})
        EXPECT_NE(report.find(line), std::string::npos) << line << " missing in\n" << report;
    EXPECT_EQ(report.rfind("--device: hand\n[RT-SERIAL-OVERVIEW]\n", 0), 0u) << report;
}

TEST_F(Diagnosis, a_running_cycle_reads_its_frequency_and_ok_rate_and_dropped_answers_show_as_timeouts) {
    Device_Simulator& device = add_hand();
    run_pdo_at_100_hz();
    auto report = settled_rts_report();
    EXPECT_GE(figure(report, "--real rpdo freq: "), 90) << report;
    EXPECT_LE(figure(report, "--real rpdo freq: "), 101) << report;
    EXPECT_GE(figure(report, "--real tpdo freq: "), 90) << report;
    EXPECT_GE(figure(report, "--tpdo tx-rx ok rate: "), 50) << report;  // near 100 on a quiet machine
    EXPECT_NE(report.find("payload[0]"), std::string::npos);
    const auto pdo = reply_to("diag hand -pdo");
    EXPECT_GT(figure(pdo, "--total tpdo: ["), 100) << pdo;

    Quorin_Tools::Devsim::Behaviour lossy;
    lossy.faults.drop_every = 10;
    device.set_behaviour(lossy);
    report = settled_rts_report();
    const double ok_rate = figure(report, "--tpdo tx-rx ok rate: ");
    EXPECT_GE(ok_rate, 75) << report;
    EXPECT_LE(ok_rate, 92) << report;
    EXPECT_GE(figure(report, "--tx-rx timeout/s: ["), 5) << report;
    EXPECT_GT(figure(report, "--tx-rx timeout rate: "), 5) << report;
}

TEST_F(Diagnosis, sections_come_in_a_fixed_order_and_a_missing_service_replaces_only_its_own) {
    add_hand();
    const auto report = reply_to("diag hand -sdo 3 3 1 -pdo -dev");
    const auto device = report.find("[DEVICE]\n--serial port: ");
    const auto pdo = report.find("[PDO-SERVICE]\nFAILED to find pdo channel on [hand]\r\n");
    const auto sdo = report.find("[SDO-SERVICE]\nfailed to find sdo mailbox on [hand]\r\n");
    ASSERT_NE(device, std::string::npos) << report;
    ASSERT_NE(pdo, std::string::npos) << report;
    ASSERT_NE(sdo, std::string::npos) << report;
    EXPECT_LT(device, pdo);
    EXPECT_LT(pdo, sdo);
    EXPECT_NE(report.find("--baudrate: 4000000\n"), std::string::npos) << report;

    ASSERT_EQ(reply_to("sdo hand -o " + udp.endpoint_args()).rfind("OK", 0), 0u);
    const auto links = reply_to("diag hand -sdo 3 3 1");
    EXPECT_EQ(links,
              "--device: hand\n[SDO-SERVICE]\n"
              "--linked id [01]:\n----total rx sdo: [0]:\n----total tx sdo: [0]:\n"
              "----total rx sdo bytes: [0]:\n----total tx sdo bytes: [0]:\n"
              "--linked id [03]:\n----total rx sdo: [0]:\n----total tx sdo: [0]:\n"
              "----total rx sdo bytes: [0]:\n----total tx sdo bytes: [0]:\n");
    EXPECT_EQ(reply_to("diag hand"), "--device: hand\n");
    EXPECT_EQ(reply_to("diag ghost -dev"), "FAILED to find device [ghost]\r\n");
    EXPECT_EQ(reply_to("diag -a"),
              "[SERVER]\n--devices: 1\n--total control connections: 1\n--pdo channels: 0\n--sdo mailboxes: 1\n");
}

TEST_F(Diagnosis, sdo_totals_follow_the_traffic_and_outlive_the_link) {
    add_hand();
    const std::uint16_t port = ports.sdo;
    ASSERT_EQ(reply_to("sdo hand -o " + udp.endpoint_args()),
              "OK add sdo link: server 0.0.0.0 " + std::to_string(port) + " client " + udp.endpoint_args() + " on [hand]\r\n");
    const Udp_Client::Bytes request{0x61, 0, 0, 0, 0, 0};
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(udp.send_to(port, request));
        ASSERT_TRUE(udp.receive(5s)) << "answer " << i;
    }
    const std::string totals =
        "--linked id [00]:\n----total rx sdo: [5]:\n----total tx sdo: [5]:\n"
        "----total rx sdo bytes: [30]:\n----total tx sdo bytes: [30]:\n"
        "--linked id [07]:\n----total rx sdo: [0]:\n----total tx sdo: [0]:\n"
        "----total rx sdo bytes: [0]:\n----total tx sdo bytes: [0]:\n";
    // An answer is counted once its send has completed, which may be after the client has it.
    std::string report;
    eventually([&] { return (report = reply_to("diag hand -sdo 7 0")).find("rx sdo: [5]") != std::string::npos; });
    EXPECT_EQ(report, "--device: hand\n[SDO-SERVICE]\n" + totals);
    ASSERT_EQ(reply_to("sdo hand -c 0").rfind("OK", 0), 0u);
    EXPECT_EQ(reply_to("diag hand -sdo 0 7"), "--device: hand\n[SDO-SERVICE]\n" + totals);
}

TEST_F(Diagnosis, an_overflowing_transmit_queue_shows_its_drops) {
    add_hand();
    ASSERT_EQ(reply_to("dev hand -c"), "OK closed device [hand]\r\n");  // nothing drains the queue now
    const std::uint16_t port = ports.sdo;
    ASSERT_EQ(reply_to("sdo hand -o " + udp.endpoint_args()),
              "OK add sdo link: server 0.0.0.0 " + std::to_string(port) + " client " + udp.endpoint_args() + " on [hand]\r\n");
    const Udp_Client::Bytes request{0x61, 0, 0, 0, 0, 0};
    double dropped = 0;
    for (int round = 0; round < 10 && dropped <= 0; ++round) {
        for (int i = 0; i < 4000; ++i) udp.send_to(port, request);
        std::this_thread::sleep_for(100ms);  // let the mailbox take what the socket holds
        dropped = figure(reply_to("diag hand -rts"), "--tx spb dropped: ");
    }
    EXPECT_GT(dropped, 0);
}

}  // namespace
}  // namespace Quorin_Test
