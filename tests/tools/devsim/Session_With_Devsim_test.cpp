// The server's own session against the simulator: the two sides of the link agree.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "Server_View.hpp"
#include "rt_serial/control/Session.hpp"
#include "rt_serial/protocol/SPB_Queue.hpp"
#include "support/Server_Process.hpp"
#include "tools/devsim/Device_Simulator.hpp"

namespace {

using namespace Devsim_Test;
using namespace Quorin_Tools::Devsim;
using namespace std::chrono_literals;
using Quorin_Core::RT_Serial::Control::Session;

/// Keeps the TPDO data the session hands over (on its own thread).
struct TPDO_Recorder : Session::Base_TPDO_Sync_Read {
    void operator()(const std::uint8_t* data, std::size_t size) override {
        std::lock_guard lock(mutex);
        ++count;
        last.assign(data, data + size);
    }
    std::pair<int, Bytes> seen() {
        std::lock_guard lock(mutex);
        return {count, last};
    }
    std::mutex mutex;
    int count = 0;
    Bytes last;
};

TEST(Session_With_Devsim, pdo_and_sdo_cross_a_paced_line_in_pieces) {
    Quorin_Test::Temp_Dir dir;
    Config config;
    config.link_path = dir.path() + "/sim0";
    config.baud = 4'000'000;
    config.behaviour.split_pieces = 3;
    Device_Simulator simulator(config);
    simulator.start();

    SPB_Queue tx_queue, rx_queue;
    Session session(config.link_path, config.baud, false, tx_queue, rx_queue);
    TPDO_Recorder recorder;
    session.set_tpdo_sync_read_handler(recorder);
    const Bytes rpdo{1, 2, 3, 4, 5, 6, 7, 8};
    session.pdo_write(rpdo.data(), rpdo.size());
    session.start();
    session.enable_pdo();

    const Bytes request = sdo_message(9, 0x5C);
    ASSERT_EQ(tx_queue.enqueue(request.data(), request.size()), SPB_Queue::stored);
    Bytes answer(SPB_Queue::max_message_bytes);
    std::uint64_t answer_size = 0;
    EXPECT_TRUE(eventually([&] { return (answer_size = rx_queue.dequeue(answer.size(), answer.data())) != 0; }, 10s));
    answer.resize(answer_size);
    EXPECT_EQ(answer, request);

    EXPECT_TRUE(eventually([&] { return recorder.seen().first >= 5; }, 10s));
    EXPECT_EQ(recorder.seen().second, padded(rpdo));
    session.disable_pdo();
    session.reset_tpdo_sync_read_handler();
    session.stop();

    const Counters counters = simulator.counters();
    EXPECT_GE(counters.rpdo_frames, 5u);
    EXPECT_GE(counters.sdo_frames, 1u);
    EXPECT_EQ(counters.crc_errors + counters.length_errors + counters.source_id_errors +
                  counters.destination_id_errors + counters.discarded_bytes,
              0u);
}

}  // namespace
