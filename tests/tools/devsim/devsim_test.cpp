// The device simulator every server test talks to: the exact bytes of its answers, the faults
// the server's tests inject, and its executable.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "rt_serial/datalink/Raw_Frame.hpp"
#include "support/Link_Peer.hpp"
#include "support/Server_Process.hpp"
#include "tools/devsim/Device_Simulator.hpp"

namespace {

using namespace Quorin_Tools::Devsim;
using namespace std::chrono_literals;
using Quorin_Core::RT_Serial::Datalink::Raw_Frame;
using Quorin_Test::Bytes;
using Quorin_Test::padded;

constexpr std::uint8_t pdo = 0x11, sdo = 0x21;
constexpr std::uint16_t full_quota = 256;  // 1024 bytes, as in TPDO requests
const Bytes tpdo_request_data{0x00, 0x01};

/// A frame from the device, as the server expects it.
Bytes answer(std::uint8_t protocol, const Bytes& data) {
    return Quorin_Test::build_frame(Raw_Frame::device_id, Raw_Frame::host_id, protocol, data, 0);
}
/// An SDO message (control byte 0x63: 10 bytes) with the EPID at byte 4, and in its last byte.
Bytes sdo_message(std::uint8_t epid) { return {0x63, 1, 2, 3, epid, 5, 6, 7, 8, epid}; }
Bytes joined(const std::vector<Bytes>& parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(Device_Simulator, tpdo_answers_echo_or_count_and_carry_faults_sdo_answers_queue) {
    const Quorin_Test::Temp_Dir dir;
    Config config;
    config.link_path = dir.path() + "/sim0";
    Device_Simulator simulator(config);
    simulator.start();
    Quorin_Test::Link_Peer peer(config.link_path);
    const auto ask = [&](std::uint8_t protocol, const Bytes& data, std::uint16_t quota = full_quota) {
        return peer.send(protocol, data, quota), peer.read_frame();
    };
    const auto tpdo = [&] { return ask(pdo, tpdo_request_data); };

    Bytes bad = Quorin_Test::build_frame(Raw_Frame::host_id, Raw_Frame::device_id, pdo, tpdo_request_data, full_quota);
    bad[14] ^= 1;
    peer.write(joined({{0x01, 0x02}, bad}));  // noise, and a request with a bad CRC: neither is answered
    EXPECT_EQ(tpdo(), answer(pdo, padded({}))) << "before any RPDO";
    const Bytes largest(1014, 0xC3);
    peer.send(pdo, largest, 0);
    EXPECT_EQ(tpdo(), answer(pdo, largest));
    EXPECT_EQ(ask(pdo, tpdo_request_data, 8), answer(pdo, Bytes(22, 0xC3))) << "cut to the quota's 32 bytes";

    const auto counting = [](Fault_Plan faults) {
        return Behaviour{.tpdo_mode = TPDO_Mode::COUNTER, .tpdo_size = 6, .faults = faults};
    };
    simulator.set_behaviour(counting({}));
    peer.send(pdo, tpdo_request_data, 3);  // no room for any frame: no answer, no number
    EXPECT_EQ(tpdo(), answer(pdo, padded({1, 0, 0, 0, 4, 5})));
    simulator.set_behaviour(counting({.drop_every = 1}));
    peer.send(pdo, tpdo_request_data, full_quota);
    EXPECT_TRUE(simulator.wait_for([](const Counters& c) { return c.faults_dropped == 1; }, 5s));
    simulator.set_behaviour(counting({.corrupt_crc_every = 1}));
    Bytes spoilt = answer(pdo, padded({3, 0, 0, 0, 4, 5}));
    spoilt[14] ^= 0xFF, spoilt[15] ^= 0xFF;
    EXPECT_EQ(tpdo(), spoilt) << "the answer after the dropped one comes first";
    // The fault is counted after its answer is written.
    EXPECT_TRUE(simulator.wait_for([](const Counters& c) { return c.faults_crc == 1; }, 5s));
    const Counters counters = simulator.counters();
    EXPECT_EQ(std::tie(counters.crc_errors, counters.discarded_bytes, counters.faults_crc), std::tuple(1u, 18u, 1u));

    // SDO messages are echoed in order; what does not fit waits for the next frame.
    simulator.set_behaviour({});
    const Bytes short_message{0x21, 0xA, 0xB, 0xC}, eight{0x23, 1, 2, 3, 0xEE, 5, 6, 7};  // 4 and 8 bytes
    const Bytes m0 = sdo_message(0), m7 = sdo_message(7), m255 = sdo_message(255);
    // 32 bytes of room leave 22 data bytes: three answers fill them.
    EXPECT_EQ(ask(sdo, joined({m0, short_message, eight, m7, m255}), 8),
              answer(sdo, joined({m0, short_message, eight})));
    peer.send(sdo, sdo_message(9), 2);  // no room for any frame: all wait, ahead of the next frame's own
    EXPECT_EQ(ask(sdo, sdo_message(5)), answer(sdo, joined({m7, m255, sdo_message(9), sdo_message(5)})));
    EXPECT_EQ(ask(sdo, {}), answer(sdo, {})) << "an empty SDO frame when nothing is owed";
}

// The bench runs the executable, with options in both forms, and reads its counters after a SIGTERM.
TEST(Devsim_Process, publishes_its_pty_and_serves_until_sigterm) {
    Quorin_Test::Temp_Dir dir;
    const std::string link = dir.path() + "/sim0";
    Quorin_Test::Server_Process simulator(
        {.wait_until_started = false, .command = {QUORIN_DEVSIM_BINARY, "--tpdo=counter", "--tpdo-size", "8", link}});
    ASSERT_TRUE(simulator.wait_for_output("ready on " + link)) << simulator.err();
    {
        Quorin_Test::Link_Peer peer(link);
        peer.send(pdo, {7}, 0);
        peer.send(pdo, tpdo_request_data, full_quota);
        EXPECT_EQ(peer.read_frame(), answer(pdo, padded({1, 0, 0, 0, 4, 5, 6, 7})));
    }
    simulator.signal(SIGTERM);
    EXPECT_EQ(simulator.wait_exit(), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    EXPECT_NE(simulator.out().find("\nrpdo_frames: 1\ntpdo_requests: 1\n"), std::string::npos) << simulator.out();
}

}  // namespace
