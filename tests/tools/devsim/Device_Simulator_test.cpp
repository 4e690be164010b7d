#include "tools/devsim/Device_Simulator.hpp"
#include "tools/devsim/Fault_Injector.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "Server_View.hpp"
#include "support/Link_Peer.hpp"
#include "support/Server_Process.hpp"

namespace {

using namespace Devsim_Test;
using namespace Quorin_Tools::Devsim;
using namespace std::chrono_literals;
using Quorin_Test::Link_Peer;
using Quorin_Test::Temp_Dir;
using Clock = std::chrono::steady_clock;

class Device_Simulator_Test : public ::testing::Test {
protected:
    Config config() const {
        Config c;
        c.link_path = link;
        c.trace_memory = 64;
        return c;
    }
    /// A TPDO request, then the answer as the server sees it, or nothing.
    std::optional<Bytes> tpdo_exchange(Link_Peer& peer, std::chrono::milliseconds timeout = 5s) {
        peer.send(pdo, tpdo_request_data, full_quota);
        return peer.read_frame(timeout);
    }

    Temp_Dir dir;
    const std::string link = dir.path() + "/sim0";
};

TEST_F(Device_Simulator_Test, a_tpdo_request_gets_a_valid_answer_and_what_came_is_recorded) {
    Device_Simulator simulator(config());
    simulator.start();
    ASSERT_TRUE(simulator.running());
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), simulator.slave_path());

    Link_Peer peer(link);
    peer.send(pdo, {1, 2, 3}, 0);
    const auto answer = tpdo_exchange(peer);
    ASSERT_TRUE(answer);
    const Server_View view(*answer);
    EXPECT_EQ(view.result, Receive_Result::PDO);
    EXPECT_EQ(view.pdo_data, padded({1, 2, 3}));

    ASSERT_TRUE(simulator.wait_for([](const Counters& c) { return c.tpdo_answers == 1; }, 5s));
    EXPECT_EQ(simulator.last_rpdo_data(), padded({1, 2, 3}));
    const Counters counters = simulator.counters();
    EXPECT_EQ(counters.rpdo_frames, 1u);
    EXPECT_EQ(counters.bytes_in, 32u);
    EXPECT_EQ(counters.bytes_out, 16u);
    const std::vector<Trace_Entry> trace = simulator.trace();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(trace[0].kind, Frame_Kind::RPDO);
    EXPECT_EQ(trace[1].kind, Frame_Kind::TPDO_REQUEST);
    EXPECT_EQ(trace[1].reply_quota, full_quota);
    EXPECT_LE(trace[0].read_ns, trace[1].read_ns);
    EXPECT_LE(trace[1].read_ns, trace[1].handled_ns);

    simulator.stop();
    EXPECT_FALSE(link_exists(link));
    EXPECT_FALSE(simulator.running());
}

TEST_F(Device_Simulator_Test, each_injected_fault_does_what_it_says) {
    Device_Simulator simulator(config());
    simulator.start();
    Link_Peer peer(link);
    peer.send(pdo, Bytes(40, 0x42), 0);  // TPDO answers of 64 bytes from now on
    const auto with_fault = [&](std::uint32_t Fault_Plan::*period) {
        Behaviour behaviour;
        if (period) behaviour.faults.*period = 1;
        simulator.set_behaviour(behaviour);
    };

    with_fault(&Fault_Plan::drop_every);
    peer.send(pdo, tpdo_request_data, full_quota);
    EXPECT_TRUE(peer.read_for(150ms).empty());  // proving silence takes a wait

    with_fault(&Fault_Plan::corrupt_crc_every);
    EXPECT_EQ(Server_View(tpdo_exchange(peer).value()).result, Receive_Result::CRC_ERROR);

    with_fault(&Fault_Plan::wrong_source_every);
    EXPECT_EQ(Server_View(tpdo_exchange(peer).value()).result, Receive_Result::SOURCE_ID_ERROR);

    with_fault(&Fault_Plan::stray_every);
    EXPECT_EQ(Server_View(tpdo_exchange(peer).value()).result, Receive_Result::PDO);
    EXPECT_EQ(peer.skipped(), Fault_Injector::stray_bytes.size());

    // 64 bytes announced as 48: a reader that trusts the length word takes 48 bytes that fail
    // their CRC, and must skip the other 16 to find the next frame.
    with_fault(&Fault_Plan::wrong_length_every);
    const Bytes cut = tpdo_exchange(peer).value();
    EXPECT_EQ(cut.size(), 48u);
    EXPECT_EQ(Server_View(cut).result, Receive_Result::CRC_ERROR);
    with_fault(nullptr);
    EXPECT_EQ(Server_View(tpdo_exchange(peer).value()).result, Receive_Result::PDO);
    EXPECT_GE(peer.skipped(), Fault_Injector::stray_bytes.size() + 1);

    ASSERT_TRUE(simulator.wait_for([](const Counters& c) { return c.tpdo_answers == 6; }, 5s));
    const Counters counters = simulator.counters();
    EXPECT_EQ(counters.faults_dropped, 1u);
    EXPECT_EQ(counters.faults_crc, 1u);
    EXPECT_EQ(counters.faults_source, 1u);
    EXPECT_EQ(counters.faults_stray, 1u);
    EXPECT_EQ(counters.faults_length, 1u);
}

TEST_F(Device_Simulator_Test, a_delayed_answer_split_in_pieces_arrives_late_and_reassembles) {
    Config c = config();
    c.behaviour.answer_delay = 50ms;
    c.behaviour.split_pieces = 4;
    c.behaviour.split_gap = 20ms;
    Device_Simulator simulator(c);
    simulator.start();
    Link_Peer peer(link);
    peer.send(pdo, Bytes(100, 0x33), 0);
    const auto sent = Clock::now();
    const auto answer = tpdo_exchange(peer);
    ASSERT_TRUE(answer);
    EXPECT_EQ(Server_View(*answer).pdo_data, padded(Bytes(100, 0x33)));
    EXPECT_GE(Clock::now() - sent, 110ms);  // the delay, then three gaps after the first piece
    EXPECT_GE(peer.chunks().size(), 2u);
}

TEST_F(Device_Simulator_Test, a_paced_line_takes_as_long_as_a_real_one) {
    Config c = config();
    c.baud = 115'200;
    Device_Simulator simulator(c);
    simulator.start();
    Link_Peer peer(link);
    peer.send(pdo, Bytes(1014, 0x11), 0);
    ASSERT_TRUE(simulator.wait_for([](const Counters& k) { return k.rpdo_frames == 1; }, 5s));
    const Trace_Entry rpdo = simulator.trace().at(0);
    EXPECT_GE(rpdo.handled_ns - rpdo.read_ns, 88'000'000u);  // 1024 bytes at 11520 bytes/s: 88.9 ms

    const auto sent = Clock::now();
    const auto answer = tpdo_exchange(peer);
    const auto took = Clock::now() - sent;
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->size(), 1024u);
    EXPECT_GE(took, 90ms);   // 16 + 1024 bytes: 90.3 ms
    EXPECT_LT(took, 400ms);  // and not much more, however busy the machine
}

TEST_F(Device_Simulator_Test, noise_and_bad_frames_from_the_server_are_counted_and_skipped) {
    Device_Simulator simulator(config());
    simulator.start();
    Link_Peer peer(link);
    Bytes bad = server_frame(pdo, tpdo_request_data, full_quota);
    bad[14] = bad[15] = 0;  // the CRC is wrong
    peer.write({0x01, 0x02});  // noise,
    peer.write(bad);           // a frame with a bad CRC,
    peer.send(pdo, tpdo_request_data, full_quota);  // and a good request
    ASSERT_TRUE(peer.read_frame());
    EXPECT_TRUE(peer.read_for(50ms).empty());  // one answer, to the good request only

    // A frame start whose rest never comes holds up what follows until it is given up.
    peer.write({0xAA, 0x55, 0x00, 0xA0, 0xFC});
    const auto sent = Clock::now();
    ASSERT_TRUE(tpdo_exchange(peer));
    EXPECT_GE(Clock::now() - sent, 100ms);

    ASSERT_TRUE(simulator.wait_for([](const Counters& c) { return c.tpdo_answers == 2; }, 5s));
    const Counters counters = simulator.counters();
    EXPECT_EQ(counters.crc_errors, 1u);
    EXPECT_EQ(counters.frames_ok, 2u);
    EXPECT_EQ(counters.partial_timeouts, 1u);
    EXPECT_EQ(counters.discarded_bytes, 2u + 16u + 5u);
    EXPECT_EQ(counters.tpdo_answers, 2u);
}

TEST_F(Device_Simulator_Test, an_unplug_fails_the_servers_reads_and_a_replug_serves_again) {
    Config c = config();
    c.replug_after = 200ms;
    Device_Simulator simulator(c);
    simulator.start();
    const std::string first_pty = simulator.slave_path();
    {
        Link_Peer peer(link);
        ASSERT_TRUE(tpdo_exchange(peer));
        simulator.unplug();
        EXPECT_FALSE(peer.read_frame(5s));
        EXPECT_TRUE(peer.failed());
    }
    ASSERT_TRUE(eventually([&] { return simulator.plugged() && link_exists(link); }));
    EXPECT_TRUE(simulator.running());
    Link_Peer peer(link);
    ASSERT_TRUE(tpdo_exchange(peer));
    ASSERT_TRUE(simulator.wait_for([](const Counters& c) { return c.tpdo_answers == 2; }, 5s));
    const Counters counters = simulator.counters();
    EXPECT_EQ(counters.unplugs, 1u);
    EXPECT_EQ(counters.replugs, 1u);
}

TEST_F(Device_Simulator_Test, unplug_after_n_frames_leaves_the_nth_unanswered_and_ends) {
    Config c = config();
    c.unplug_after = 2;
    Device_Simulator simulator(c);
    simulator.start();
    Link_Peer peer(link);
    ASSERT_TRUE(tpdo_exchange(peer));
    EXPECT_FALSE(tpdo_exchange(peer, 5s));
    EXPECT_TRUE(peer.failed());
    EXPECT_TRUE(eventually([&] { return !simulator.running(); }));
    EXPECT_FALSE(link_exists(link));
    EXPECT_EQ(simulator.error(), "");
    EXPECT_EQ(simulator.counters().tpdo_answers, 2u);  // built, never sent
}

TEST_F(Device_Simulator_Test, the_link_path_is_taken_only_when_free_or_stale) {
    // A path that is no link at all is refused too: see the executable's test.
    std::filesystem::create_symlink(dir.path(), link);
    EXPECT_THROW(Device_Simulator(config()).start(), std::runtime_error);
    std::filesystem::remove(link);

    std::filesystem::create_symlink("/dev/pts/999999", link);  // left by a simulator that died
    Device_Simulator first(config());
    ASSERT_NO_THROW(first.start());
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), first.slave_path());

    Device_Simulator second(config());  // the link is live: not taken over
    try {
        second.start();
        ADD_FAILURE() << "a live link was taken over";
    } catch (const std::runtime_error& failure) {
        EXPECT_NE(std::string(failure.what()).find("live"), std::string::npos) << failure.what();
    }
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), first.slave_path());

    first.stop();
    EXPECT_FALSE(link_exists(link));
    first.start();  // and again, with fresh counters
    Link_Peer peer(link);
    ASSERT_TRUE(tpdo_exchange(peer));
    ASSERT_TRUE(first.wait_for([](const Counters& c) { return c.tpdo_requests == 1; }, 5s));
}

}  // namespace
