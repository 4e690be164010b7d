#include "rt_serial/protocol/SPB_Queue.hpp"

#include <algorithm>
#include <cstring>

std::uint64_t SPB_Queue::dequeue(std::uint64_t max_bytes, std::uint8_t* buffer) {
    return take(max_bytes, buffer, false);
}

std::uint64_t SPB_Queue::dequeue_packable(std::uint64_t max_bytes, std::uint8_t* buffer) {
    return take(max_bytes, buffer, true);
}

std::uint64_t SPB_Queue::take(std::uint64_t max_bytes, std::uint8_t* buffer, bool packable_only) {
    // No message is shorter than min_message_bytes; an empty queue needs no lock either.
    if (max_bytes < min_message_bytes || buffer == nullptr || count() == 0) return 0;

    std::vector<std::uint8_t> taken;
    {
        const std::lock_guard lock(mutex);
        const auto found = std::find_if(messages.begin(), messages.end(), [&](const auto& message) {
            return message.size() <= max_bytes && !(packable_only && message[0] == whole_request_header);
        });
        if (found == messages.end()) return 0;
        taken = std::move(*found);
        messages.erase(found);
        held.fetch_sub(1, std::memory_order_relaxed);
    }
    // Copied and freed outside the lock, so the other thread waits only for the search.
    std::memcpy(buffer, taken.data(), taken.size());
    return taken.size();
}

std::uint64_t SPB_Queue::withdraw_if(const Message_Test& test, const Message_Sink& sink) {
    if (count() == 0) return 0;
    const auto picked = [&test](const std::vector<std::uint8_t>& message) { return test(message.data(), message.size()); };
    std::deque<std::vector<std::uint8_t>> taken;
    {
        const std::lock_guard lock(mutex);
        // Most looks find nothing: they must cost no allocation.
        if (std::none_of(messages.begin(), messages.end(), picked)) return 0;
        std::deque<std::vector<std::uint8_t>> kept;
        for (auto& message : messages) (picked(message) ? taken : kept).push_back(std::move(message));
        messages.swap(kept);
        held.fetch_sub(taken.size(), std::memory_order_relaxed);
    }
    if (sink)
        for (const auto& message : taken) sink(message.data(), message.size());
    return taken.size();
}

int SPB_Queue::enqueue(const std::uint8_t* data, std::uint64_t size) {
    if (data == nullptr || size < min_message_bytes || size > max_message_bytes) return bad_size;
    return store(std::vector<std::uint8_t>(data, data + size));
}

int SPB_Queue::seg_enqueue(const std::vector<Segment>& segments) {
    if (segments.empty()) return no_segments;
    std::uint64_t total = 0;
    for (const Segment& segment : segments) {
        if (segment.data == nullptr || segment.size < 1 || segment.size > max_message_bytes) return bad_segment;
        total += segment.size;
    }
    if (total < min_message_bytes || total > max_message_bytes) return bad_size;

    std::vector<std::uint8_t> message;
    message.reserve(total);
    for (const Segment& segment : segments) message.insert(message.end(), segment.data, segment.data + segment.size);
    return store(std::move(message));
}

int SPB_Queue::store(std::vector<std::uint8_t>&& message) {
    std::vector<std::uint8_t> oldest;
    std::weak_ptr<Listener> told;
    {
        const std::lock_guard lock(mutex);
        if (held.load(std::memory_order_relaxed) >= capacity && !messages.empty()) {
            oldest = std::move(messages.front());
            messages.pop_front();
            held.fetch_sub(1, std::memory_order_relaxed);
            discarded.fetch_add(1, std::memory_order_relaxed);
        }
        messages.push_back(std::move(message));
        held.fetch_add(1, std::memory_order_relaxed);
        told = listener;
    }
    if (const auto waiting = told.lock()) waiting->queue_filled();
    return stored;
}

void SPB_Queue::set_fill_listener(std::weak_ptr<Listener> next) {
    const std::lock_guard lock(mutex);
    listener = std::move(next);
}
