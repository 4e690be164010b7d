#include "rt_serial/control/Session.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "rt_serial/protocol/SPB_Queue.hpp"
#include "support/Captured_Stdout.hpp"
#include "support/Server_Process.hpp"
#include "support/Test_Helpers.hpp"
#include "tools/devsim/Device_Simulator.hpp"

namespace {

using namespace std::chrono_literals;
using namespace Quorin_Tools::Devsim;
using namespace Quorin_Core::RT_Serial::Control;
using Quorin_Test::Bytes;
using Quorin_Test::eventually;

/// A running session on a simulated device; both stopped at the end of the test.
class Session_Test : public ::testing::Test {
protected:
    /// `shape` sets the device's behaviour.
    void start(std::uint32_t baud = 4000000, void (*shape)(Behaviour&) = nullptr, bool pdo = true) {
        Config config;
        config.link_path = dir.path() + "/sim";
        config.trace_memory = 4096;
        if (shape) shape(config.behaviour);
        simulator = std::make_unique<Device_Simulator>(config);
        simulator->start();
        session = std::make_unique<Session>(config.link_path, baud, false, tx_queue, rx_queue);
        ASSERT_TRUE(session->start());
        if (pdo) session->enable_pdo();
    }
    void TearDown() override {
        session.reset();
        if (simulator) simulator->stop();
    }
    bool wait(const std::function<bool(const Counters&)>& done) { return simulator->wait_for(done, 10s); }
    /// `count` SDO messages of `size` bytes (control byte 0x21 or 0x23).
    void enqueue_sdo(std::size_t count, std::size_t size = 8) {
        const std::uint8_t message[8] = {std::uint8_t(size == 8 ? 0x23 : 0x21), 1, 2, 3, 4, 5, 6, 7};
        for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(tx_queue.enqueue(message, size), 0);
    }

    Quorin_Test::Temp_Dir dir;
    Quorin_Test::Captured_Stdout log;
    SPB_Queue tx_queue{16384}, rx_queue{16384};
    std::unique_ptr<Device_Simulator> simulator;
    std::unique_ptr<Session> session;
};

TEST_F(Session_Test, frequency_and_offsets_change_within_bounds_while_disabled_and_a_stopped_cycle_sends_nothing) {
    start(4000000, nullptr, false);
    EXPECT_EQ(session->timing().link_rate, 3400000u) << "85 % of the rate the port reports";
    EXPECT_FLOAT_EQ(Link_Timing::for_rate(0).us_per_16_bytes, 1.6e8f);  // no rate reported: the slowest
    EXPECT_EQ(Link_Timing::link_rate_for(true, 9600), 480000000u);     // native USB
    EXPECT_EQ(session->pdo_period_ns(), 10'000'000u) << "100 Hz by default";
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const auto& [hz, period] :
         {std::pair{0.5f, 1'000'000'000u}, {1000.0f, 2'000'000u}, {nan, 2'000'000u}, {200.0f, 5'000'000u}}) {
        session->set_pdo_config(hz);
        EXPECT_EQ(session->pdo_period_ns(), period) << hz;
    }
    session->set_pdo_config(100, 6'000'000, 6'000'000);  // the RPDO must come before the TPDO request,
    session->set_pdo_config(100, 0, 10'000'000);         // both within the period
    session->set_pdo_config(nan, 0, 1);
    EXPECT_EQ(session->pdo_period_ns(), 5'000'000u);
    session->set_pdo_config(100, 1'000'000, 6'000'000);
    EXPECT_EQ(session->pdo_period_ns(), 10'000'000u);

    session->enable_pdo();
    session->set_pdo_config(50), session->set_pdo_config(50, 0, 1);
    EXPECT_EQ(session->pdo_period_ns(), 10'000'000u) << "no change while enabled";
    ASSERT_TRUE(wait([](const Counters& c) { return c.tpdo_requests >= 10; }));
    const auto trace = simulator->trace();
    ASSERT_GE(trace.size(), 20u);
    for (std::size_t i = 0; i < 20; ++i)
        EXPECT_EQ(trace[i].kind, i % 2 ? Frame_Kind::TPDO_REQUEST : Frame_Kind::RPDO) << i;

    EXPECT_FALSE(session->start());  // already running
    session->stop();
    EXPECT_FALSE(session->is_running() || session->is_pdo_enabled());
    const auto ran = session->run_time();
    EXPECT_EQ(session->run_time(), ran) << "the run time stands still while stopped";
    // Started again without PDO: the device sees an SDO frame after at most the one PDO frame
    // that was under way when the session stopped.
    const Counters stopped = simulator->counters();
    ASSERT_TRUE(session->start());
    enqueue_sdo(1);
    std::uint8_t answer[8];  // taken in behind an answer of the stopped cycle
    ASSERT_TRUE(eventually([&] { return rx_queue.dequeue(sizeof answer, answer) == sizeof answer; }));
    const Counters marked = simulator->counters();
    EXPECT_LE(marked.rpdo_frames + marked.tpdo_requests, stopped.rpdo_frames + stopped.tpdo_requests + 1);
    session->enable_pdo();
    ASSERT_TRUE(wait([&](const Counters& c) { return c.rpdo_frames >= marked.rpdo_frames + 10; }));
    EXPECT_GT(session->run_time(), ran);
}

TEST_F(Session_Test, after_a_long_stall_the_missed_periods_are_skipped_not_sent_in_a_burst) {
    // The timers run on the steady clock, which a step of the wall clock does not move; a jump
    // of the steady clock is what a stopped process or VM sees.
    start();  // 100 Hz
    ASSERT_TRUE(wait([](const Counters& c) { return c.tpdo_requests >= 5; }));
    Session_Clock::shift_for_test(60s);
    ASSERT_TRUE(eventually([&] { return session->skipped_pdo_periods() != 0; }));
    const auto skipped = session->skipped_pdo_periods();
    EXPECT_GE(skipped, 5999u);
    const Counters after_stall = simulator->counters();
    ASSERT_TRUE(wait([&](const Counters& c) { return c.rpdo_frames >= after_stall.rpdo_frames + 20; }));
    EXPECT_EQ(session->skipped_pdo_periods(), skipped) << "the cycle goes on in its new phase";
}

TEST_F(Session_Test, an_answer_whose_length_word_is_wrong_costs_that_answer_alone) {
    // 16-byte TPDO answers at 500 Hz, where the next TPDO request, not a time-out, cuts short a
    // frame still waiting for bytes: one length word claims 32 bytes, another 1024.
    start(4000000, [](Behaviour& b) {
        b.tpdo_mode = TPDO_Mode::COUNTER, b.tpdo_size = 4;
        b.faults.wrong_length_every = 10, b.faults.oversize_length_every = 15;
    }, false);
    session->set_pdo_config(500);
    session->enable_pdo();
    struct : Session::Base_TPDO_Sync_Read {
        void operator()(const std::uint8_t*, std::size_t) override { ++taken; }
        std::atomic<std::uint64_t> taken{0};
    } sink;
    session->set_tpdo_sync_read_handler(sink);
    ASSERT_TRUE(wait([](const Counters& c) { return c.faults_length >= 40; }));
    session->disable_pdo();
    // Answers 30, 60, ... carry both faults and are counted twice.
    EXPECT_TRUE(eventually([&] {
        const Counters seen = simulator->counters();
        return sink.taken == seen.tpdo_answers - seen.faults_length + seen.tpdo_answers / 30;
    })) << sink.taken << " taken of " << simulator->counters().tpdo_answers << " with " << simulator->counters().faults_length
        << " faults, " << session->port_diagnostic().rx_timeouts << " time-outs";
    session->reset_tpdo_sync_read_handler();
}

TEST_F(Session_Test, an_answer_after_its_exchange_timed_out_is_still_taken_in) {
    // PDO off and nothing more to send: no later exchange comes to read the answer off the line.
    start(4000000, [](Behaviour& device) { device.answer_delay = 20ms; }, false);
    enqueue_sdo(1);
    std::uint8_t answer[8];
    EXPECT_TRUE(eventually([&] { return rx_queue.dequeue(sizeof answer, answer) == sizeof answer; }));
}

TEST_F(Session_Test, cycles_send_the_pdo_slot_cut_to_its_size_or_the_writers_data_cut_to_a_frame) {
    start();
    session->pdo_write(Bytes(1010, 0x5A).data(), 1010);
    Bytes slot(1004, 0x5A);
    slot.resize(1014, 0);  // padded to the most one frame carries
    EXPECT_TRUE(eventually([&] { return simulator->last_rpdo_data() == slot; }));
    struct : Session::Base_RPDO_Sync_Write {
        void operator()(std::uint8_t* data, std::size_t* size) override { std::fill_n(data, 1014, 0x77), *size = 5000; }
    } writer;
    session->set_rpdo_sync_write_handler(writer);
    EXPECT_TRUE(eventually([&] { return simulator->last_rpdo_data() == Bytes(1014, 0x77); }));
    session->reset_rpdo_sync_write_handler();
    EXPECT_TRUE(eventually([&] { return simulator->last_rpdo_data() == slot; }));
}

TEST_F(Session_Test, no_nrt_transfer_starts_in_windows_too_small_for_the_line) {
    // At 9600 baud the smallest NRT window is far longer than a 10 ms period: while PDO runs,
    // no SDO frame may be sent, even of the smallest messages; once it stops, they go out.
    start(9600);
    enqueue_sdo(3, 4);
    ASSERT_TRUE(wait([&](const Counters& c) { return c.rpdo_frames >= 20; }));
    EXPECT_EQ(simulator->counters().sdo_frames, 0u);
    session->disable_pdo();
    ASSERT_TRUE(wait([](const Counters& c) { return c.sdo_messages == 3; }));
}

TEST_F(Session_Test, prepared_frame_too_large_for_any_window_of_the_period_is_discarded_and_its_requests_told) {
    // While PDO is off, 1024-byte frames with a 1024-byte answer allowance are prepared behind
    // the exchange in flight; at 115200 baud and 100 Hz no window can carry such 2048 bytes.
    struct : Quorin_Core::RT_Serial::Protocol::SDO::Discard_Listener {
        void request_discarded(const std::uint8_t*, std::uint64_t) override { ++told; }
        std::atomic<std::uint64_t> told{0};
    } listener;
    enqueue_sdo(4000);  // all there before the first frame is made, which takes as many as fit
    start(115200, [](Behaviour& b) { b.answer_delay = 100ms; }, false);
    session->set_sdo_discard_listener(&listener);
    ASSERT_TRUE(wait([](const Counters& c) { return c.sdo_frames >= 1; }));
    session->enable_pdo();
    ASSERT_TRUE(wait([](const Counters& c) { return c.rpdo_frames >= 50; }));
    EXPECT_TRUE(session->is_pdo_enabled());
    session->stop();  // the log is read only once the session thread no longer writes it
    EXPECT_TRUE(log.contains("[WARN ] Discarded NRT frame of 1024 bytes on [" + dir.path() +
                             "/sim]: larger than any window of the PDO period\n")) << log.text();
    // Its 126 messages, and those of the frame prepared when the session stopped, are told and
    // counted: every message went to the device, was told, or is still queued.
    EXPECT_GT(listener.told, 126u);
    EXPECT_EQ(listener.told, session->sdo_discarded_count());
    EXPECT_TRUE(eventually([&] { return simulator->counters().sdo_messages + listener.told + tx_queue.count() == 4000; }));
}

TEST_F(Session_Test, bad_and_missing_answers_are_counted_by_class_and_the_cycle_goes_on) {
    // Wrong sources are found before bad CRCs; a dropped answer is a time-out.
    start(4000000, [](Behaviour& b) { b.faults = {.drop_every = 5, .corrupt_crc_every = 2, .wrong_source_every = 3}; });
    Diagnostic_Snapshot second;  // the first second's figures
    ASSERT_TRUE(eventually([&] { return (second = session->diagnostic()).tx_frames > 0; }, 10s));
    EXPECT_TRUE(second.ok > 0 && second.crc > 0 && second.source_id > 0 && second.rx_timeouts > 0);
    EXPECT_TRUE(second.rx_frames > 0 && second.rx_bits > 0 && second.tx_bits > 0 && second.rpdo_frequency > 0);
    EXPECT_EQ(second.header + second.destination_id + second.length + second.payload + second.rx_errors, 0);
    EXPECT_TRUE(second.tpdo_ok_rate > 0 && second.tpdo_ok_rate < 1 && second.rx_frame_ok_rate < 1);
    EXPECT_EQ(second.unpack_ok_rate, 1.0f);
    EXPECT_TRUE(session->is_pdo_enabled());
}

}  // namespace
