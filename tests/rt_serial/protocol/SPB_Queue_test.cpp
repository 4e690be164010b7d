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

TEST(SPB_Queue, results_of_enqueue_and_seg_enqueue) {
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

    EXPECT_EQ(queue.enqueue(big.data(), 4), 0);
    EXPECT_EQ(queue.enqueue(big.data(), 1014), 0);
    EXPECT_EQ(queue.seg_enqueue({{a.data(), 2}, {b.data(), 1}, {c.data(), 3}}), 0);
    std::array<std::uint8_t, 1014> out{};
    EXPECT_EQ(queue.dequeue(out.size(), out.data()), 4u);
    EXPECT_EQ(queue.dequeue(out.size(), out.data()), 1014u);
    ASSERT_EQ(queue.dequeue(out.size(), out.data()), 6u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 7), (Bytes{1, 2, 3, 4, 5, 6, 7}));
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

    std::array<std::uint8_t, 32> out;
    out.fill(0xEE);
    EXPECT_EQ(queue.dequeue(4, out.data()) + queue.dequeue(8, nullptr) + queue.dequeue(0, out.data()), 0u);
    ASSERT_EQ(queue.dequeue(8, out.data()), 5u);
    EXPECT_EQ(number_of(out.data()), 5u);
    EXPECT_EQ(out[5], 0xEE) << "nothing written past the message";
    EXPECT_EQ(queue.dequeue(8, out.data()), 6u);
    EXPECT_EQ(queue.dequeue(8, out.data()), 0u);
    ASSERT_EQ(queue.dequeue(12, out.data()), 12u);
    EXPECT_EQ(number_of(out.data()), 12u);
}

/// One producer thread sends numbered messages of varying size (every other one in two
/// segments) while this thread takes them. Numbers must arrive strictly rising (nothing
/// duplicated or reordered), every message is received or counted as dropped, and the newest
/// message is never the one dropped. Returns how many were dropped.
std::uint64_t produce_and_consume(std::uint64_t capacity) {
    constexpr std::uint32_t total = 100000;
    const auto size_of = [](std::uint32_t n) { return 4 + n % 60; };
    SPB_Queue queue(capacity);
    std::atomic<bool> finished{false};
    std::thread producer([&] {
        for (std::uint32_t n = 0; n < total; ++n) {
            const Bytes m = numbered(n, size_of(n));
            const int result = n % 2 ? queue.enqueue(m.data(), m.size())
                                     : queue.seg_enqueue({{m.data(), 3}, {m.data() + 3, m.size() - 3}});
            EXPECT_EQ(result, 0);
        }
        finished = true;
    });
    std::int64_t last = -1;
    std::uint64_t received = 0, faults = 0;
    std::array<std::uint8_t, SPB_Queue::max_message_bytes> out{};
    for (bool done = false; !done; std::this_thread::yield()) {
        done = finished.load();  // read before draining, so the last messages are not left behind
        for (std::uint64_t size; (size = queue.dequeue(out.size(), out.data())) != 0; ++received) {
            const std::uint32_t n = number_of(out.data());
            faults += std::int64_t{n} <= last || size != size_of(n);
            last = n;
        }
    }
    producer.join();
    EXPECT_EQ(faults, 0u);
    EXPECT_EQ(received + queue.dropped(), total);
    EXPECT_EQ(last, total - 1);
    return queue.dropped();
}

TEST(SPB_Queue, producer_and_consumer_threads_lose_and_duplicate_nothing) {
    EXPECT_EQ(produce_and_consume(1 << 17), 0u);
}

TEST(SPB_Queue, producer_outrunning_a_small_queue_costs_only_counted_oldest_messages) {
    produce_and_consume(16);
}

}  // namespace
