#include "services/TPDO_Queue.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Quorin_Core::TPDO_Queue;
using Bytes = std::vector<std::uint8_t>;

Bytes payload(std::uint8_t fill, std::size_t size = 16) { return Bytes(size, fill); }

bool push(TPDO_Queue& queue, const Bytes& bytes) { return queue.push(bytes.data(), bytes.size()); }

Bytes bytes_of(TPDO_Queue::Datagram datagram) {
    if (!datagram) return {};
    return Bytes(datagram.data, datagram.data + datagram.size);
}

TEST(TPDO_Queue, payloads_that_arrive_during_a_send_follow_it_whole_and_in_order) {
    TPDO_Queue queue;
    EXPECT_TRUE(push(queue, payload(1))) << "the first payload schedules a flush";
    EXPECT_FALSE(push(queue, payload(2))) << "a flush is scheduled already";

    const auto first = queue.start_flush();
    EXPECT_FALSE(push(queue, payload(3))) << "a send is in flight: its completion takes the rest";
    EXPECT_EQ(bytes_of(first), payload(1)) << "the datagram in flight stayed as it was";

    EXPECT_EQ(bytes_of(queue.finish_send()), payload(2));
    EXPECT_EQ(bytes_of(queue.finish_send()), payload(3));
    EXPECT_FALSE(queue.finish_send());
    EXPECT_TRUE(push(queue, payload(4))) << "idle again: a new payload schedules a flush";
    EXPECT_EQ(queue.replaced(), 0u);
}

TEST(TPDO_Queue, a_full_ring_replaces_the_newest_waiting_payload_never_the_one_in_flight) {
    TPDO_Queue queue;
    push(queue, payload(0));
    const auto in_flight = queue.start_flush();
    for (std::uint8_t fill = 1; fill < TPDO_Queue::slot_count + 3; ++fill) push(queue, payload(fill));

    EXPECT_EQ(bytes_of(in_flight), payload(0));
    EXPECT_EQ(queue.replaced(), 3u);
    std::vector<std::uint8_t> sent;
    while (const auto next = queue.finish_send()) sent.push_back(next.data[0]);
    // Slots 1..6 in order, then the newest (10) in the last slot.
    const std::vector<std::uint8_t> expected{1, 2, 3, 4, 5, 6, 10};
    EXPECT_EQ(sent, expected);
}

TEST(TPDO_Queue, a_flush_with_nothing_to_send_or_a_send_in_flight_starts_nothing) {
    TPDO_Queue queue;
    EXPECT_FALSE(queue.start_flush());
    push(queue, payload(1));
    ASSERT_TRUE(queue.start_flush());
    push(queue, payload(2));
    EXPECT_FALSE(queue.start_flush()) << "only the completion may start the next send";
}

TEST(TPDO_Queue, a_send_that_could_not_start_is_dropped_and_the_next_push_wakes_the_rest) {
    TPDO_Queue queue;
    push(queue, payload(1));
    queue.start_flush();
    push(queue, payload(2));
    queue.drop_in_flight();
    EXPECT_TRUE(push(queue, payload(3)));
    EXPECT_EQ(bytes_of(queue.start_flush()), payload(2));
    EXPECT_EQ(bytes_of(queue.finish_send()), payload(3));
}

TEST(TPDO_Queue, a_payload_longer_than_a_slot_is_cut_to_the_slot) {
    TPDO_Queue queue;
    push(queue, payload(7, TPDO_Queue::slot_bytes + 100));
    EXPECT_EQ(queue.start_flush().size, TPDO_Queue::slot_bytes);
}

}  // namespace
