#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "rt_serial/protocol/SDO_Fill_Listener.hpp"

namespace Quorin_Core::RT_Serial::Protocol::SDO {

/// A bounded, thread-safe queue of whole SDO messages (4 to 1014 bytes each) between the SDO
/// service and a session. Every operation may be called from any thread.
class Queue {
public:
    /// One piece of a message given in several parts.
    struct Segment {
        const std::uint8_t* data;  ///< first byte of the piece
        std::uint64_t size;        ///< bytes in the piece
    };

    /// Takes the oldest message of at most `max_bytes` bytes into `buffer`, passing over larger
    /// ones. Returns its size, or 0 when nothing was taken.
    virtual std::uint64_t dequeue(std::uint64_t max_bytes, std::uint8_t* buffer) = 0;
    /// Stores a copy of one message. Returns 0 when stored, 1 when refused.
    virtual int enqueue(const std::uint8_t* data, std::uint64_t size) = 0;
    /// Joins the segments in order and stores them as one message. Returns 0 when stored, 7 for
    /// no segments, 9 for a segment of 0 or more than 1014 bytes, 1 for a bad total size.
    virtual int seg_enqueue(const std::vector<Segment>& segments) = 0;
    /// Whether a message, given by its first byte and its size, is to be taken.
    using Message_Test = std::function<bool(const std::uint8_t* message, std::uint64_t size)>;
    /// Told of each message taken out by withdraw_if, before it is freed.
    using Message_Sink = std::function<void(const std::uint8_t* message, std::uint64_t size)>;

    /// Like dequeue, but passes over the messages that must travel alone in a frame: a 0xF0
    /// request, whose end the device cannot find, so nothing may follow it.
    virtual std::uint64_t dequeue_packable(std::uint64_t max_bytes, std::uint8_t* buffer) = 0;
    /// Takes every message that `test` picks out of the queue, keeping the others in order, and
    /// hands each to `sink`. Returns how many were taken.
    virtual std::uint64_t withdraw_if(const Message_Test& test, const Message_Sink& sink) = 0;

    /// Tells `listener`, for as long as it lives, of each message stored from now on; replaces
    /// the one told before.
    virtual void set_fill_listener(std::weak_ptr<Fill_Listener> listener) = 0;

    /// Header byte of a request that travels alone in its frame.
    static constexpr std::uint8_t whole_request_header = 0xF0;

    /// Virtual, as queues are used through this interface.
    virtual ~Queue() = default;
};

}  // namespace Quorin_Core::RT_Serial::Protocol::SDO
