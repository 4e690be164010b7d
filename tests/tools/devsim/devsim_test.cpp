// The device simulator every server test talks to: the exact bytes of its answers, its faults,
// its link, its command line and its executable.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "rt_serial/datalink/CRC16_Modbus.hpp"
#include "rt_serial/datalink/Raw_Frame.hpp"
#include "support/Link_Peer.hpp"
#include "support/Server_Process.hpp"
#include "tools/devsim/Command_Line.hpp"
#include "tools/devsim/Device_Simulator.hpp"
#include "tools/devsim/Fault_Injector.hpp"

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

// The server's tests that count bad answers by class rely on which answer gets which fault, and
// on a spoilt source or length word passing the CRC check.
TEST(Fault_Injector, periods_count_answers_from_one_and_spoilt_words_keep_a_matching_crc) {
    Counters counters;
    Fault_Injector injector(true, counters);
    const Bytes frame = answer(pdo, Bytes(8, 0x42));
    std::string seen;
    const Bytes stray = joined({Bytes(Fault_Injector::stray_bytes.begin(), Fault_Injector::stray_bytes.end()), frame});
    for (int n = 1; n <= 7; ++n) {
        Bytes wire;
        injector.apply(frame.data(), frame.size(), {.drop_every = 3, .corrupt_crc_every = 2, .stray_every = 5}, wire);
        seen += wire.empty() ? 'D' : wire == frame ? '.' : wire == stray ? 'S' : 'C';
    }
    EXPECT_EQ(seen, ".CDCSD.") << "a dropped answer gets no other fault";
    EXPECT_EQ(std::tie(counters.faults_dropped, counters.faults_crc, counters.faults_stray), std::tuple(2u, 2u, 1u));

    for (const std::size_t size : {30, 0}) {  // 48 bytes announce 32; the shortest frame, 16, announces 32
        const Bytes original = answer(pdo, Bytes(size, 0x42));
        Bytes wire, expected = original;
        injector.apply(original.data(), original.size(), {.wrong_source_every = 1, .wrong_length_every = 1}, wire);
        expected[2] = Fault_Injector::wrong_source_id;
        expected[4] = static_cast<std::uint8_t>((expected[4] & 0x03) | 1 << 2);
        const std::uint16_t crc = Quorin_Core::RT_Serial::Datalink::crc16_modbus(expected.data(), expected.size() - 2);
        expected.end()[-2] = static_cast<std::uint8_t>(crc >> 8), expected.back() = static_cast<std::uint8_t>(crc);
        EXPECT_EQ(wire, expected) << size;
    }
}

class Device_Simulator_Test : public ::testing::Test {
protected:
    void start(const std::function<void(Config&)>& set = [](Config&) {}) {
        Config config;
        set(config);
        config.link_path = link, config.trace_memory = 64;
        simulator = std::make_unique<Device_Simulator>(config);
        simulator->start();
        peer = std::make_unique<Quorin_Test::Link_Peer>(link);
    }
    std::optional<Bytes> ask(std::uint8_t protocol, const Bytes& data, std::uint16_t quota = full_quota) {
        return peer->send(protocol, data, quota), peer->read_frame();
    }
    std::optional<Bytes> tpdo() { return ask(pdo, tpdo_request_data); }
    Counters counted(const std::function<bool(const Counters&)>& done) {
        EXPECT_TRUE(simulator->wait_for(done, 5s));
        return simulator->counters();
    }

    const Quorin_Test::Temp_Dir dir;
    const std::string link = dir.path() + "/sim0";
    std::unique_ptr<Device_Simulator> simulator;
    std::unique_ptr<Quorin_Test::Link_Peer> peer;
};

// The server's tests see a replug (a new pty at the link); only here is the unplug itself seen.
TEST_F(Device_Simulator_Test, tpdo_answers_echo_or_count_and_carry_faults_sdo_answers_queue_and_an_unplug_fails_reads) {
    start([](Config& c) { c.replug_after = 1ms; });
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), simulator->slave_path());
    Bytes bad = Quorin_Test::build_frame(Raw_Frame::host_id, Raw_Frame::device_id, pdo, tpdo_request_data, full_quota);
    bad[14] ^= 1;
    peer->write(joined({{0x01, 0x02}, bad}));  // noise, and a request with a bad CRC: neither is answered
    EXPECT_EQ(tpdo(), answer(pdo, padded({}))) << "before any RPDO";
    const Bytes largest(1014, 0xC3);
    peer->send(pdo, largest, 0);
    EXPECT_EQ(tpdo(), answer(pdo, largest));
    EXPECT_EQ(ask(pdo, tpdo_request_data, 8), answer(pdo, Bytes(22, 0xC3))) << "cut to the quota's 32 bytes";

    const auto counting = [](Fault_Plan faults) { return Behaviour{.tpdo_mode = TPDO_Mode::COUNTER, .tpdo_size = 6, .faults = faults}; };
    simulator->set_behaviour(counting({}));
    peer->send(pdo, tpdo_request_data, 3);  // no room for any frame: no answer, no number
    EXPECT_EQ(tpdo(), answer(pdo, padded({1, 0, 0, 0, 4, 5})));
    EXPECT_EQ(tpdo(), answer(pdo, padded({2, 0, 0, 0, 4, 5})));
    simulator->set_behaviour(counting({.drop_every = 1}));
    peer->send(pdo, tpdo_request_data, full_quota);
    counted([](const Counters& c) { return c.faults_dropped == 1; });
    simulator->set_behaviour(counting({.corrupt_crc_every = 1}));
    Bytes spoilt = answer(pdo, padded({4, 0, 0, 0, 4, 5}));
    spoilt[14] ^= 0xFF, spoilt[15] ^= 0xFF;
    EXPECT_EQ(tpdo(), spoilt) << "the answer after the dropped one comes first";

    const Counters counters = counted([](const Counters& c) { return c.tpdo_answers == 7; });  // the trace is out too
    EXPECT_EQ(std::tie(counters.crc_errors, counters.discarded_bytes, counters.tpdo_requests), std::tuple(1u, 18u, 8u));
    EXPECT_EQ(simulator->last_rpdo_data(), largest);
    const std::vector<Trace_Entry> trace = simulator->trace();
    ASSERT_EQ(trace.size(), 10u);
    EXPECT_EQ(std::tie(trace[0].kind, trace[2].kind, trace[5].kind, trace[5].reply_quota),
              std::tuple(Frame_Kind::BAD, Frame_Kind::RPDO, Frame_Kind::TPDO_REQUEST, 3));

    // SDO messages are echoed in order; what does not fit waits for the next frame.
    simulator->set_behaviour({});
    const Bytes short_message{0x21, 0xA, 0xB, 0xC}, eight{0x23, 1, 2, 3, 0xEE, 5, 6, 7};  // 4 and 8 bytes
    const Bytes m0 = sdo_message(0), m7 = sdo_message(7), m255 = sdo_message(255);
    // 32 bytes of room leave 22 data bytes: three answers fill them.
    EXPECT_EQ(ask(sdo, joined({m0, short_message, eight, m7, m255}), 8), answer(sdo, joined({m0, short_message, eight})));
    peer->send(sdo, sdo_message(9), 2);  // no room for any frame: all wait, ahead of the next frame's own
    EXPECT_EQ(ask(sdo, sdo_message(5)), answer(sdo, joined({m7, m255, sdo_message(9), sdo_message(5)})));
    EXPECT_EQ(ask(sdo, {}), answer(sdo, {})) << "an empty SDO frame when nothing is owed";

    simulator->unplug();
    EXPECT_FALSE(peer->read_frame());
    EXPECT_TRUE(peer->failed());
    EXPECT_EQ(counted([](const Counters& c) { return c.replugs == 1; }).unplugs, 1u);
}

TEST_F(Device_Simulator_Test, a_split_answer_leaves_in_pieces) {
    start([](Config& c) { c.behaviour.split_pieces = 2, c.behaviour.split_gap = 10min; });
    peer->send(pdo, tpdo_request_data, full_quota);
    Bytes got;  // the second piece is due ten minutes after the first
    ASSERT_TRUE(Quorin_Test::eventually([&] {
        const Bytes more = peer->read_for(1ms);
        got.insert(got.end(), more.begin(), more.end());
        return got.size() >= 8;
    }));
    const Bytes whole = answer(pdo, padded({}));
    EXPECT_EQ(got, Bytes(whole.begin(), whole.begin() + 8));
}

TEST(Command_Line, every_option_is_read_in_both_forms_and_bad_lines_say_what_is_wrong) {
    const auto parse = [](std::vector<std::string> args) {
        args.insert(args.begin(), "quorin-devsim");
        std::vector<const char*> argv;
        for (const auto& arg : args) argv.push_back(arg.c_str());
        return Command_Line::parse(static_cast<int>(argv.size()), argv.data());
    };
    const Command_Line line =
        parse({"--baud", "4000000", "--native-usb", "--split=3", "--split-gap", "250", "--tpdo=counter",
               "--tpdo-size", "1014", "--delay=1500", "--drop-every", "2", "--corrupt-crc-every=3",
               "--wrong-source-every", "4", "--wrong-length-every=5", "--stray-every", "6", "--unplug-after=7",
               "--replug-after", "800", "--trace=/tmp/t.trace", "/tmp/link"});
    ASSERT_EQ(line.error, "");
    const Config& c = line.config;
    const Behaviour& b = c.behaviour;
    EXPECT_EQ(std::tie(c.link_path, c.baud, c.native_usb, c.unplug_after, c.trace_path, c.replug_after),
              std::tuple(std::string("/tmp/link"), 4'000'000u, true, 7u, std::string("/tmp/t.trace"), 800ms));
    EXPECT_EQ(std::tie(b.split_pieces, b.split_gap, b.tpdo_mode, b.tpdo_size, b.answer_delay),
              std::tuple(3u, 250us, TPDO_Mode::COUNTER, 1014u, 1500us));
    EXPECT_EQ(std::tie(b.faults.drop_every, b.faults.corrupt_crc_every, b.faults.wrong_source_every,
                       b.faults.wrong_length_every, b.faults.stray_every), std::tuple(2u, 3u, 4u, 5u, 6u));

    for (const auto& [args, expected] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{}, "no link path"}, {{"a", "b"}, "more than one link path"}, {{"--bogus", "a"}, "unknown option --bogus"},
             {{"a", "--baud"}, "--baud wants a value"}, {{"--baud", "12x", "a"}, "--baud wants a whole number"},
             {{"--split", "0", "a"}, "--split wants a whole number from 1 to 1024, not '0'"},
             {{"--tpdo", "zero", "a"}, "--tpdo wants echo or counter, not 'zero'"},
             {{"--native-usb=1", "a"}, "--native-usb takes no value"}, {{"--trace=", "a"}, "--trace wants a file name"}}) {
        const Command_Line bad = parse(args);
        EXPECT_NE(bad.error.find(expected), std::string::npos) << bad.error;
        EXPECT_FALSE(bad.help);
    }
}

// The bench runs the executable and reads its counters after a SIGTERM.
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
