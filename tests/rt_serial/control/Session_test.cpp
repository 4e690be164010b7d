#include "rt_serial/control/Session.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "rt_serial/protocol/SPB_Queue.hpp"
#include "support/Captured_Stdout.hpp"
#include "support/Server_Process.hpp"
#include "support/Test_Helpers.hpp"
#include "tools/devsim/Device_Simulator.hpp"

namespace {

using namespace std::chrono_literals;
using Quorin_Core::RT_Serial::Control::Session;
using Quorin_Tools::Devsim::Counters;
using Quorin_Tools::Devsim::Device_Simulator;
using Quorin_Tools::Devsim::Frame_Kind;
using Quorin_Tools::Devsim::Trace_Entry;

constexpr std::uint32_t line_baud = 4000000;

// Collects what the session hands to its TPDO sink.
class Recording_Sink : public Session::Base_TPDO_Sync_Read {
public:
    void operator()(const std::uint8_t* data, std::size_t size) override {
        std::lock_guard lock(mutex);
        last.assign(data, data + size);
        ++calls;
    }
    std::vector<std::uint8_t> last_data() {
        std::lock_guard lock(mutex);
        return last;
    }
    std::atomic<int> calls{0};

private:
    std::mutex mutex;
    std::vector<std::uint8_t> last;
};

// A session on a simulated device; both stopped at the end of the test.
class Session_Test : public ::testing::Test {
protected:
    void start_device(std::uint32_t session_baud = line_baud, Quorin_Tools::Devsim::Behaviour behaviour = {}) {
        Quorin_Tools::Devsim::Config config;
        config.link_path = dir.path() + "/sim";
        config.trace_memory = 4096;
        config.behaviour = behaviour;
        simulator = std::make_unique<Device_Simulator>(config);
        simulator->start();
        session = std::make_unique<Session>(config.link_path, session_baud, false, tx_queue, rx_queue);
    }
    void TearDown() override {
        if (session) session->reset_tpdo_sync_read_handler();
        session.reset();
        if (simulator) simulator->stop();
    }
    bool wait_counters(const std::function<bool(const Counters&)>& done, std::chrono::milliseconds timeout = 5s) {
        return simulator->wait_for(done, timeout);
    }
    std::vector<std::uint64_t> times_of(Frame_Kind kind) {
        std::vector<std::uint64_t> times;
        for (const auto& entry : simulator->trace())
            if (entry.kind == kind) times.push_back(entry.read_ns);
        return times;
    }
    static double median_ms(std::vector<double> values) {
        if (values.empty()) return -1;
        std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
        return values[values.size() / 2];
    }
    // Median gap between consecutive RPDO frames, and from each RPDO to the next TPDO request.
    std::pair<double, double> cycle_figures() {
        const auto rpdo = times_of(Frame_Kind::RPDO);
        const auto tpdo = times_of(Frame_Kind::TPDO_REQUEST);
        std::vector<double> periods, offsets;
        for (std::size_t i = 1; i < rpdo.size(); ++i) periods.push_back((rpdo[i] - rpdo[i - 1]) / 1e6);
        for (auto r : rpdo) {
            const auto next = std::upper_bound(tpdo.begin(), tpdo.end(), r);
            if (next != tpdo.end()) offsets.push_back((*next - r) / 1e6);
        }
        return {median_ms(periods), median_ms(offsets)};
    }
    std::string report() {
        session->stop();  // the log is read only once the session thread no longer writes it
        std::ostringstream o;
        simulator->counters().print(o);
        const auto& d = session->port_diagnostic();
        o << "port tx " << d.tx_frames << " rx " << d.rx_frames << " err " << d.rx_errors << " timeouts "
          << d.rx_timeouts << "\n";
        return o.str() + log.text();
    }
    // The EPIDs of the answers that reach the receive queue, until `count` came or the line is quiet.
    std::vector<std::uint8_t> collect_answer_epids(std::size_t count) {
        std::vector<std::uint8_t> epids;
        std::uint8_t answer[1024];
        auto quiet_since = std::chrono::steady_clock::now();
        while (epids.size() < count && std::chrono::steady_clock::now() - quiet_since < 1s) {
            const auto size = rx_queue.dequeue(sizeof answer, answer);
            if (size == 0) {
                std::this_thread::sleep_for(1ms);
                continue;
            }
            EXPECT_EQ(size, 8u);
            epids.push_back(answer[4]);
            quiet_since = std::chrono::steady_clock::now();
        }
        return epids;
    }
    void enqueue_sdo(std::uint8_t epid, std::uint8_t fill, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            // Control byte 0x23: an 8-byte message; byte 4 carries the client's EPID.
            const std::uint8_t message[8] = {0x23, fill, static_cast<std::uint8_t>(i), 0, epid, 1, 2, 3};
            ASSERT_EQ(tx_queue.enqueue(message, sizeof message), 0);
        }
    }

    Quorin_Test::Temp_Dir dir;
    Quorin_Test::Captured_Stdout log;
    SPB_Queue tx_queue{16384};
    SPB_Queue rx_queue{16384};
    std::unique_ptr<Device_Simulator> simulator;
    std::unique_ptr<Session> session;
};

TEST_F(Session_Test, frequency_sets_period_and_half_period_offset_only_while_disabled) {
    start_device();
    EXPECT_EQ(session->pdo_period_ns(), 10000000u) << "100 Hz by default";
    session->set_pdo_config(0.5f);
    EXPECT_EQ(session->pdo_period_ns(), 1000000000u);
    session->set_pdo_config(1000.0f);
    EXPECT_EQ(session->pdo_period_ns(), 2000000u);
    session->set_pdo_config(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(session->pdo_period_ns(), 2000000u);
    session->set_pdo_config(200.0f);
    EXPECT_EQ(session->pdo_period_ns(), 5000000u);

    ASSERT_TRUE(session->start());
    session->enable_pdo();
    session->enable_pdo();  // a second enable must not arm a second cycle
    session->set_pdo_config(50.0f);  // no effect while enabled
    EXPECT_EQ(session->pdo_period_ns(), 5000000u);
    ASSERT_TRUE(wait_counters([](const Counters& c) { return c.rpdo_frames >= 60 && c.tpdo_requests >= 60; }));
    const auto [period, offset] = cycle_figures();
    EXPECT_NEAR(period, 5.0, 1.5);
    EXPECT_NEAR(offset, 2.5, 1.2);
}

TEST_F(Session_Test, every_cycle_sends_the_last_rpdo_data_and_echoes_and_sdo_answers_come_back_from_pieces) {
    Quorin_Tools::Devsim::Behaviour split;
    split.split_pieces = 3;  // every answer reaches the port in pieces
    start_device(line_baud, split);
    Recording_Sink sink;
    session->set_tpdo_sync_read_handler(sink);
    const auto starts_with = [](const std::vector<std::uint8_t>& data, const std::vector<std::uint8_t>& head) {
        return data.size() >= head.size() && std::equal(head.begin(), head.end(), data.begin());
    };
    const std::vector<std::uint8_t> first{1, 2, 3, 4, 5};
    session->pdo_write(first.data(), first.size());
    ASSERT_TRUE(session->start());
    session->enable_pdo();
    ASSERT_TRUE(wait_counters([](const Counters& c) { return c.rpdo_frames >= 5; }));
    EXPECT_TRUE(starts_with(simulator->last_rpdo_data(), first));
    enqueue_sdo(9, 0x5C, 1);
    std::uint8_t answer[1024];
    std::uint64_t size = 0;
    ASSERT_TRUE(Quorin_Test::eventually([&] { return (size = rx_queue.dequeue(sizeof answer, answer)) != 0; }));
    EXPECT_EQ(std::vector<std::uint8_t>(answer, answer + size), (std::vector<std::uint8_t>{0x23, 0x5C, 0, 0, 9, 1, 2, 3}));

    const std::vector<std::uint8_t> second(1004, 0x5A);  // a full slot
    session->pdo_write(second.data(), second.size());
    const auto before = simulator->counters().rpdo_frames;
    ASSERT_TRUE(wait_counters([&](const Counters& c) { return c.rpdo_frames >= before + 3; }));
    EXPECT_TRUE(starts_with(simulator->last_rpdo_data(), second));
    EXPECT_TRUE(Quorin_Test::eventually([&] { return starts_with(sink.last_data(), second); }));
    const Counters c = simulator->counters();
    EXPECT_EQ(c.crc_errors + c.length_errors + c.source_id_errors + c.destination_id_errors + c.discarded_bytes, 0u)
        << "every frame of the session is whole and valid";
}

// An answer that comes after its exchange's time-out (the simulator is a thread on a loaded
// machine, not a device answering within microseconds) or while a PDO event abandons the
// exchange is lost to that exchange. So these checks allow a loss only where a time-out or a
// running cycle explains it, and never a wrong or repeated answer.
TEST_F(Session_Test, sdo_messages_come_back_as_answers_with_pdo_disabled_and_at_500_hz) {
    start_device();
    ASSERT_TRUE(session->start());
    enqueue_sdo(7, 0x11, 300);
    const auto idle = collect_answer_epids(300);
    EXPECT_EQ(idle, std::vector<std::uint8_t>(300, 7)) << report();

    // Clients that send again once their answers are in: at 500 Hz the windows are 1 ms and
    // every exchange must fit one; none may stall the queue.
    session->set_pdo_config(500);
    session->enable_pdo();
    ASSERT_TRUE(wait_counters([](const Counters& c) { return c.rpdo_frames >= 3; }));
    std::size_t answered = 0;
    std::uint8_t answer[1024];
    enqueue_sdo(9, 0x22, 16);
    const auto until = std::chrono::steady_clock::now() + 1500ms;
    while (std::chrono::steady_clock::now() < until) {
        const auto size = rx_queue.dequeue(sizeof answer, answer);
        if (size == 0) {
            std::this_thread::sleep_for(100us);
            continue;
        }
        ASSERT_EQ(answer[4], 9);
        ++answered;
        enqueue_sdo(9, 0x22, 1);
    }
    // Each answer is followed by the next request: a stalled queue answers a handful only.
    EXPECT_TRUE(session->is_pdo_enabled());
    EXPECT_GE(answered, 1000u) << report();
    session->stop();  // the log is read only once the session thread no longer writes it
    EXPECT_FALSE(log.contains("Discarded NRT frame")) << "SDO messages were thrown away";
}

TEST_F(Session_Test, an_answer_after_its_exchanges_time_out_is_still_taken_in) {
    // PDO off: no later exchange would come to read it, the client sends nothing more.
    Quorin_Tools::Devsim::Behaviour slow;
    slow.answer_delay = 20ms;  // the exchange's time-out is under 4 ms
    start_device(line_baud, slow);
    ASSERT_TRUE(session->start());
    enqueue_sdo(3, 0x33, 1);
    EXPECT_EQ(collect_answer_epids(1), std::vector<std::uint8_t>{3}) << report();
    EXPECT_GE(session->port_diagnostic().rx_timeouts.load(), 1u);
}

TEST_F(Session_Test, no_nrt_transfer_starts_in_windows_too_small_for_the_line) {
    // At 9600 baud the smallest NRT window is far longer than a 10 ms period: while PDO runs,
    // no SDO frame may be sent; once it stops, the waiting messages go out.
    start_device(9600);
    ASSERT_TRUE(session->start());
    session->enable_pdo();
    ASSERT_TRUE(wait_counters([](const Counters& c) { return c.rpdo_frames >= 3; }));
    enqueue_sdo(1, 0x33, 3);
    const auto before = simulator->counters().rpdo_frames;
    ASSERT_TRUE(wait_counters([&](const Counters& c) { return c.rpdo_frames >= before + 20; }));
    EXPECT_EQ(simulator->counters().sdo_frames, 0u);
    session->disable_pdo();
    ASSERT_TRUE(wait_counters([](const Counters& c) { return c.sdo_messages >= 3; }));
}

TEST_F(Session_Test, prepared_frame_too_large_for_any_window_of_the_period_is_discarded) {
    // While PDO is off, a full 1024-byte frame with a 1024-byte answer allowance is prepared
    // behind the exchange in flight; at 115200 baud and 100 Hz no window can carry those
    // 2048 bytes any more. The slow line also gives the exchange in flight a long time-out.
    Quorin_Tools::Devsim::Behaviour slow;
    slow.answer_delay = 100ms;
    start_device(115200, slow);
    ASSERT_TRUE(session->start());
    enqueue_sdo(5, 0x55, 400);
    ASSERT_TRUE(wait_counters([](const Counters& c) { return c.sdo_frames >= 1; }));
    session->enable_pdo();
    ASSERT_TRUE(wait_counters([](const Counters& c) { return c.rpdo_frames >= 50; }));
    EXPECT_TRUE(session->is_pdo_enabled());
    session->stop();  // the log is read only once the session thread no longer writes it
    EXPECT_TRUE(log.contains("Discarded NRT frame of 1024 bytes on [")) << log.text();
    EXPECT_LT(simulator->counters().sdo_messages, 400u);
}

TEST_F(Session_Test, late_answers_are_taken_in_before_the_next_request_and_leave_no_lag) {
    // The device numbers its TPDO answers. Answers that come after their time-out must still
    // reach the sink, in order, and must not be taken for the next request's answer: every
    // later answer would then reach the sink a period after its request, for good.
    Quorin_Tools::Devsim::Behaviour late;
    late.tpdo_mode = Quorin_Tools::Devsim::TPDO_Mode::COUNTER;
    late.answer_delay = 4500us;  // past the request's 3.7 ms time-out, well before the next request
    start_device(line_baud, late);
    struct Numbering_Sink : Session::Base_TPDO_Sync_Read {
        void operator()(const std::uint8_t* data, std::size_t size) override {
            if (size < 4) return;
            const auto now = std::chrono::steady_clock::now().time_since_epoch();
            std::lock_guard lock(mutex);
            seen.push_back({data[0] | data[1] << 8 | data[2] << 16 | std::uint32_t(data[3]) << 24,
                            std::uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count())});
        }
        std::mutex mutex;
        std::vector<std::pair<std::uint32_t, std::uint64_t>> seen;  // answer number, when
    } sink;
    session->set_tpdo_sync_read_handler(sink);
    ASSERT_TRUE(session->start());
    session->enable_pdo();
    ASSERT_TRUE(wait_counters([](const Counters& c) { return c.tpdo_answers >= 30; }));
    auto prompt = late;
    prompt.answer_delay = 0ms;
    simulator->set_behaviour(prompt);
    ASSERT_TRUE(wait_counters([](const Counters& c) { return c.tpdo_answers >= 60; }));
    session->stop();

    const auto requests = times_of(Frame_Kind::TPDO_REQUEST);
    std::vector<double> prompt_lags_ms;
    std::uint32_t previous = 0;
    for (const auto& [number, at] : sink.seen) {
        EXPECT_GT(number, previous) << "answers out of order or twice";
        previous = number;
        if (number > 40 && number <= requests.size())
            prompt_lags_ms.push_back((double(at) - double(requests[number - 1])) / 1e6);
    }
    EXPECT_GE(sink.seen.size(), 50u) << report();
    ASSERT_GE(prompt_lags_ms.size(), 10u) << report();
    EXPECT_LT(median_ms(prompt_lags_ms), 5.0) << "answers reach the sink a period late";
}

TEST_F(Session_Test, silent_device_gives_timeouts_and_the_cycle_goes_on) {
    Quorin_Tools::Devsim::Behaviour silent;
    silent.faults.drop_every = 1;
    start_device(line_baud, silent);
    ASSERT_TRUE(session->start());
    session->enable_pdo();
    ASSERT_TRUE(wait_counters([](const Counters& c) { return c.rpdo_frames >= 250; }, 10s));
    EXPECT_GT(session->port_diagnostic().rx_timeouts.load(), 200u);
    const auto figures = session->diagnostic();
    EXPECT_GT(figures.rx_timeouts, 50.0f);
    EXPECT_GE(figures.rpdo_frequency, 50.0f);
    EXPECT_EQ(figures.tpdo_ok_rate, 0.0f);
    EXPECT_TRUE(session->is_pdo_enabled());
}

TEST_F(Session_Test, bad_answers_are_counted_by_class_and_the_cycle_goes_on) {
    Quorin_Tools::Devsim::Behaviour faulty;
    faulty.faults.corrupt_crc_every = 2;
    faulty.faults.wrong_source_every = 3;
    start_device(line_baud, faulty);
    ASSERT_TRUE(session->start());
    session->enable_pdo();
    ASSERT_TRUE(wait_counters([](const Counters& c) { return c.tpdo_answers >= 250; }, 10s));
    const auto figures = session->diagnostic();
    // Of six answers, 2 and 4 have a bad CRC, 3 and 6 a wrong source (checked before the CRC):
    // about a third each, loosely, as a loaded machine loses some answers to time-outs.
    const float judged = figures.crc + figures.source_id + figures.ok;
    ASSERT_GT(judged, 5.0f);
    EXPECT_NEAR(figures.crc / judged, 1.0f / 3, 0.17f);
    EXPECT_NEAR(figures.source_id / judged, 1.0f / 3, 0.17f);
    EXPECT_NEAR(figures.ok / judged, 1.0f / 3, 0.17f);
    EXPECT_LE(figures.tpdo_ok_rate, 0.5f);
}

TEST_F(Session_Test, stopped_session_starts_again) {
    start_device();
    ASSERT_TRUE(session->start());
    EXPECT_FALSE(session->start());  // already running
    session->enable_pdo();
    ASSERT_TRUE(wait_counters([](const Counters& c) { return c.rpdo_frames >= 5; }));
    session->stop();
    EXPECT_FALSE(session->is_running());
    EXPECT_FALSE(session->is_pdo_enabled());
    const auto stopped_at = simulator->counters().rpdo_frames;
    std::this_thread::sleep_for(100ms);  // nothing may be sent while stopped
    EXPECT_LE(simulator->counters().rpdo_frames, stopped_at + 1);

    ASSERT_TRUE(session->start());
    session->enable_pdo();
    ASSERT_TRUE(wait_counters([&](const Counters& c) { return c.rpdo_frames >= stopped_at + 10; }));
    enqueue_sdo(3, 0x44, 10);
    ASSERT_TRUE(wait_counters([](const Counters& c) { return c.sdo_answers >= 10; }));
}

}  // namespace
