#include "rt_serial/protocol/SPB_Queue.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(SPB_Queue, sizes_and_segments_refused_or_stored_and_taken_oldest_first_passing_over_larger_ones) {
    SPB_Queue queue;
    const Bytes a{1, 2}, b{3}, c{4, 5, 6}, big(1015, 7);
    EXPECT_EQ(queue.enqueue(big.data(), 3), 1);
    EXPECT_EQ(queue.enqueue(big.data(), 1015), 1);
    EXPECT_EQ(queue.enqueue(nullptr, 8), 1);
    EXPECT_EQ(queue.seg_enqueue({}), 7);
    EXPECT_EQ(queue.seg_enqueue({{a.data(), 2}, {b.data(), 1}}), 1);
    EXPECT_EQ(queue.seg_enqueue({{a.data(), 0}}), 9);
    EXPECT_EQ(queue.seg_enqueue({{a.data(), 2}, {nullptr, 2}}), 9);
    EXPECT_EQ(queue.seg_enqueue({{big.data(), 1015}, {b.data(), 1}}), 9);
    EXPECT_EQ(queue.seg_enqueue({{big.data(), 1014}, {b.data(), 1}}), 1);
    EXPECT_EQ(queue.count() + queue.dropped(), 0u) << "refusals are neither stored nor dropped";

    EXPECT_EQ(queue.enqueue(big.data(), 1014), 0);
    EXPECT_EQ(queue.seg_enqueue({{a.data(), 2}, {b.data(), 1}, {c.data(), 3}}), 0);
    EXPECT_EQ(queue.enqueue(big.data(), 4), 0);
    EXPECT_EQ(queue.count(), 3u);
    std::array<std::uint8_t, 1014> out;
    out.fill(0xEE);
    EXPECT_EQ(queue.dequeue(8, nullptr) + queue.dequeue(3, out.data()), 0u);
    ASSERT_EQ(queue.dequeue(6, out.data()), 6u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 7), (Bytes{1, 2, 3, 4, 5, 6, 0xEE}));
    EXPECT_EQ(queue.dequeue(4, out.data()), 4u);
    EXPECT_EQ(queue.dequeue(1013, out.data()), 0u);
    EXPECT_EQ(queue.dequeue(1014, out.data()), 1014u);
    EXPECT_EQ(queue.count() + queue.dropped(), 0u);
}

TEST(SPB_Queue, a_full_queue_drops_the_oldest_and_counts_it) {
    SPB_Queue queue(2);
    for (std::uint8_t n = 1; n <= 3; ++n) {
        const std::uint8_t message[4] = {n, n, n, n};
        ASSERT_EQ(queue.enqueue(message, 4), 0);
        EXPECT_EQ(queue.dropped(), n / 3u);
    }
    std::array<std::uint8_t, 4> out{};
    EXPECT_EQ(queue.count(), 2u);
    ASSERT_EQ(queue.dequeue(4, out.data()), 4u);
    EXPECT_EQ(out[0], 2);
}

TEST(SPB_Queue, whole_requests_are_passed_over_when_packing_and_withdrawn_messages_leave_the_rest_in_order) {
    SPB_Queue queue;
    for (const Bytes& message : {Bytes{0xF0, 1, 1, 1, 0, 0}, Bytes{0x61, 2, 2, 2, 1, 0}, Bytes{0x61, 3, 3, 3, 0, 0},
                                 Bytes{0x61, 4, 4, 4, 1, 0}})
        ASSERT_EQ(queue.enqueue(message.data(), message.size()), 0);
    std::array<std::uint8_t, 6> out{};
    ASSERT_EQ(queue.dequeue_packable(6, out.data()), 6u);
    EXPECT_EQ(out[1], 2) << "the 0xF0 request goes alone, not behind another";
    std::vector<std::uint8_t> withdrawn;
    const auto of_epid_0 = [](const std::uint8_t* message, std::uint64_t) { return message[4] == 0; };
    EXPECT_EQ(queue.withdraw_if(of_epid_0, [&](const std::uint8_t* message, std::uint64_t) { withdrawn.push_back(message[1]); }), 2u);
    EXPECT_EQ(withdrawn, (Bytes{1, 3}));
    EXPECT_EQ(queue.count(), 1u);
    ASSERT_EQ(queue.dequeue(6, out.data()), 6u);
    EXPECT_EQ(out[1], 4);
}

}  // namespace
