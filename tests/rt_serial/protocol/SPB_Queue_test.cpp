#include "rt_serial/protocol/SPB_Queue.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Segment = SPB_Queue::Segment;

/// A message of `size` bytes whose first four bytes hold `number`.
Bytes numbered(std::uint32_t number, std::size_t size = 8) {
    Bytes message(size, 0x5A);
    std::memcpy(message.data(), &number, sizeof number);
    return message;
}

std::uint32_t number_of(const std::uint8_t* message) {
    std::uint32_t number = 0;
    std::memcpy(&number, message, sizeof number);
    return number;
}

TEST(SPB_Queue, enqueue_accepts_4_to_1014_bytes) {
    SPB_Queue queue;
    const Bytes big(1015, 1);
    EXPECT_EQ(queue.enqueue(big.data(), 3), 1);
    EXPECT_EQ(queue.enqueue(big.data(), 1015), 1);
    EXPECT_EQ(queue.enqueue(nullptr, 8), 1);
    EXPECT_EQ(queue.enqueue(big.data(), 4), 0);
    EXPECT_EQ(queue.enqueue(big.data(), 1014), 0);
    EXPECT_EQ(queue.count(), 2u);
    EXPECT_EQ(queue.dropped(), 0u);
}

TEST(SPB_Queue, seg_enqueue_checks_segments_then_total_and_joins_in_order) {
    SPB_Queue queue;
    const Bytes a{1, 2}, b{3}, c{4, 5, 6}, big(1014, 7);
    EXPECT_EQ(queue.seg_enqueue({}), 7);
    EXPECT_EQ(queue.seg_enqueue({{a.data(), 2}, {b.data(), 1}}), 1);
    EXPECT_EQ(queue.seg_enqueue({{a.data(), 0}}), 9);
    EXPECT_EQ(queue.seg_enqueue({{a.data(), 2}, {nullptr, 2}}), 9);
    EXPECT_EQ(queue.seg_enqueue({{big.data(), 1015}, {b.data(), 1}}), 9);
    EXPECT_EQ(queue.seg_enqueue({{big.data(), 1014}, {b.data(), 1}}), 1);
    EXPECT_EQ(queue.count(), 0u);

    EXPECT_EQ(queue.seg_enqueue({{a.data(), 2}, {b.data(), 1}, {c.data(), 3}}), 0);
    std::array<std::uint8_t, 16> out{};
    ASSERT_EQ(queue.dequeue(out.size(), out.data()), 6u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 7), (Bytes{1, 2, 3, 4, 5, 6, 0}));
}

TEST(SPB_Queue, full_queue_drops_the_oldest) {
    SPB_Queue queue(SPB_Queue::device_capacity);
    for (std::uint32_t n = 0; n < SPB_Queue::device_capacity; ++n) ASSERT_EQ(queue.enqueue(numbered(n).data(), 8), 0);
    EXPECT_EQ(queue.dropped(), 0u);
    const Bytes last = numbered(99999);
    EXPECT_EQ(queue.enqueue(last.data(), last.size()), 0);
    EXPECT_EQ(queue.count(), SPB_Queue::device_capacity);
    EXPECT_EQ(queue.dropped(), 1u);

    std::array<std::uint8_t, 8> out{};
    ASSERT_EQ(queue.dequeue(out.size(), out.data()), 8u);
    EXPECT_EQ(number_of(out.data()), 1u);
}

TEST(SPB_Queue, dequeue_passes_over_messages_too_large_and_keeps_their_place) {
    SPB_Queue queue;
    const Bytes twelve = numbered(12, 12), five = numbered(5, 5), six = numbered(6, 6);
    queue.enqueue(twelve.data(), twelve.size());
    queue.enqueue(five.data(), five.size());
    queue.enqueue(six.data(), six.size());

    std::array<std::uint8_t, 32> out{};
    EXPECT_EQ(queue.dequeue(4, out.data()), 0u);
    EXPECT_EQ(queue.dequeue(8, nullptr), 0u);
    EXPECT_EQ(queue.dequeue(0, out.data()), 0u);
    EXPECT_EQ(queue.count(), 3u);

    out.fill(0xEE);
    ASSERT_EQ(queue.dequeue(8, out.data()), 5u);
    EXPECT_EQ(number_of(out.data()), 5u);
    EXPECT_EQ(out[5], 0xEE) << "nothing written past the message";
    ASSERT_EQ(queue.dequeue(8, out.data()), 6u);
    EXPECT_EQ(queue.dequeue(8, out.data()), 0u);
    ASSERT_EQ(queue.dequeue(12, out.data()), 12u);
    EXPECT_EQ(number_of(out.data()), 12u);
    EXPECT_EQ(queue.count(), 0u);
}

/// Size of message `n`: 5 to 64 bytes, so that sizes vary.
std::size_t size_of(std::uint32_t n) { return 5 + n % 60; }

/// Two producers (one with enqueue, one with seg_enqueue) send numbered messages tagged with
/// their id at byte 4; one consumer takes them. Each producer's numbers must arrive strictly
/// rising (nothing duplicated or reordered), and every message is either received or dropped.
void run_producers_and_consumer(std::uint64_t capacity, std::uint32_t per_producer) {
    constexpr std::uint8_t producers = 2;
    SPB_Queue queue(capacity);
    std::atomic<int> finished{0};
    const auto produce = [&](std::uint8_t id) {
        for (std::uint32_t n = 0; n < per_producer; ++n) {
            Bytes message = numbered(n, size_of(n));
            message[4] = id;
            const int result = id == 0 ? queue.enqueue(message.data(), message.size())
                                       : queue.seg_enqueue({{message.data(), 3}, {message.data() + 3, message.size() - 3}});
            EXPECT_EQ(result, 0);
        }
        finished.fetch_add(1);
    };
    std::thread first(produce, 0), second(produce, 1);

    std::array<std::int64_t, producers> last{-1, -1};
    std::uint64_t received = 0;
    std::uint32_t last_number = 0;
    std::array<std::uint8_t, SPB_Queue::max_message_bytes> out{};
    for (;;) {
        const bool done = finished.load() == producers;
        const std::uint64_t size = queue.dequeue(out.size(), out.data());
        if (size == 0) {
            if (done) break;
            std::this_thread::yield();
            continue;
        }
        const std::uint32_t n = number_of(out.data());
        const std::uint8_t id = out[4];
        ASSERT_LT(id, producers);
        ASSERT_EQ(size, size_of(n));
        ASSERT_GT(std::int64_t{n}, last[id]) << "duplicated or out of order";
        last[id] = n;
        last_number = n;
        ++received;
    }
    first.join();
    second.join();
    EXPECT_EQ(received + queue.dropped(), std::uint64_t{producers} * per_producer);
    if (capacity >= std::uint64_t{producers} * per_producer) {
        EXPECT_EQ(queue.dropped(), 0u);
    }
    EXPECT_EQ(last_number, per_producer - 1) << "the newest message is never the one dropped";
}

TEST(SPB_Queue, concurrent_producers_and_consumer_lose_and_duplicate_nothing) {
    run_producers_and_consumer(SPB_Queue::device_capacity * 8, 50000);
}

TEST(SPB_Queue, concurrent_overload_only_drops_counted_oldest_messages) {
    run_producers_and_consumer(16, 50000);
}

}  // namespace
