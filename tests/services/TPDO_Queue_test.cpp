#include "services/TPDO_Queue.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Quorin_Core::TPDO_Queue;
using Bytes = std::vector<std::uint8_t>;

bool push(TPDO_Queue& queue, std::uint8_t fill, std::size_t size = 16) { return queue.push(Bytes(size, fill).data(), size); }

// The channel's test shows payloads arriving during a send going out whole and in order.
TEST(TPDO_Queue, a_send_in_flight_is_never_touched_and_a_full_ring_replaces_the_newest_waiting_payload) {
    TPDO_Queue queue;
    EXPECT_FALSE(queue.start_flush()) << "nothing waits";
    EXPECT_TRUE(push(queue, 0, TPDO_Queue::slot_bytes + 100)) << "the first payload schedules a flush";
    EXPECT_FALSE(push(queue, 1)) << "a flush is scheduled already";
    const auto in_flight = queue.start_flush();
    EXPECT_EQ(in_flight.size, TPDO_Queue::slot_bytes) << "cut to the slot";
    EXPECT_FALSE(push(queue, 2)) << "a send is in flight: its completion takes the rest";
    EXPECT_FALSE(queue.start_flush()) << "only the completion may start the next send";
    for (std::uint8_t fill = 3; fill < TPDO_Queue::slot_count + 3; ++fill) push(queue, fill);
    EXPECT_EQ(Bytes(in_flight.data, in_flight.data + in_flight.size), Bytes(TPDO_Queue::slot_bytes, 0));
    EXPECT_EQ(queue.replaced(), 3u);

    queue.drop_in_flight();
    EXPECT_TRUE(push(queue, 11)) << "no send follows a dropped one: this push wakes the rest";
    std::vector<std::uint8_t> sent{queue.start_flush().data[0]};
    while (const auto next = queue.finish_send()) sent.push_back(next.data[0]);
    // Slots 1..6 in order, then the newest (10) in the last slot, then the one pushed after the drop.
    EXPECT_EQ(sent, (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 10, 11}));
    EXPECT_FALSE(queue.finish_send()) << "nothing was in flight";
    EXPECT_TRUE(push(queue, 12)) << "idle again: a new payload schedules a flush";
}

}  // namespace
