#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "rt_serial/protocol/SDO_Queue.hpp"

/// The SDO segment queue of a device: at most `capacity` messages, oldest first. When full,
/// storing a message discards the oldest one and counts it as dropped, so overload costs the
/// oldest traffic, never the newest.
///
/// Threading: every operation locks the queue's own mutex for its whole work on the messages
/// and takes no other lock; count() and dropped() read atomics without locking.
class SPB_Queue final : public Quorin_Core::RT_Serial::Protocol::SDO::Queue {
public:
    using Listener = Quorin_Core::RT_Serial::Protocol::SDO::Fill_Listener;
    static constexpr std::uint64_t min_message_bytes = 4;     ///< smallest SDO message
    static constexpr std::uint64_t max_message_bytes = 1014;  ///< largest SDO message
    static constexpr std::uint64_t device_capacity = 16384;   ///< messages held by each device queue

    static constexpr int stored = 0;          ///< enqueue results: the message is in the queue
    static constexpr int bad_size = 1;        ///< size outside 4..1014, or no data
    static constexpr int no_segments = 7;     ///< seg_enqueue got an empty vector
    static constexpr int bad_segment = 9;     ///< a segment of 0 or more than 1014 bytes, or no data

    /// An empty queue holding at most `capacity` messages (at least one).
    explicit SPB_Queue(std::uint64_t capacity = device_capacity) : capacity(capacity) {}

    /// Takes the oldest message that fits in `max_bytes` into `buffer`; messages before it stay
    /// in place. Returns its size, or 0 when max_bytes is 0, buffer is null or none fits.
    std::uint64_t dequeue(std::uint64_t max_bytes, std::uint8_t* buffer) override;
    /// Like dequeue, passing over 0xF0 requests.
    std::uint64_t dequeue_packable(std::uint64_t max_bytes, std::uint8_t* buffer) override;
    /// Takes out every message `test` picks, in order, handing each to `sink` outside the lock.
    std::uint64_t withdraw_if(const Message_Test& test, const Message_Sink& sink) override;
    /// Stores a copy of `size` bytes. Returns stored or bad_size.
    int enqueue(const std::uint8_t* data, std::uint64_t size) override;
    /// Stores the segments joined as one message. Returns stored, no_segments, bad_segment or bad_size.
    int seg_enqueue(const std::vector<Segment>& segments) override;

    /// Tells `listener` of each message stored, outside the lock.
    void set_fill_listener(std::weak_ptr<Listener> listener) override;

    /// Number of messages held.
    std::uint64_t count() const { return held.load(std::memory_order_relaxed); }
    /// Messages discarded because the queue was full, since construction.
    std::uint64_t dropped() const { return discarded.load(std::memory_order_relaxed); }

    const std::uint64_t capacity;  ///< most messages held at once

private:
    /// Takes the oldest message of at most `max_bytes` that `packable_only` allows.
    std::uint64_t take(std::uint64_t max_bytes, std::uint8_t* buffer, bool packable_only);
    /// Appends a message, discarding the oldest when full; returns stored.
    int store(std::vector<std::uint8_t>&& message);

    std::deque<std::vector<std::uint8_t>> messages;
    std::weak_ptr<Listener> listener;  ///< under `mutex`
    std::mutex mutex;
    std::atomic<std::uint64_t> held{0};
    std::atomic<std::uint64_t> discarded{0};
};
