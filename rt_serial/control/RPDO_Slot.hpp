#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

namespace Quorin_Core::RT_Serial::Control {

/// The last RPDO data written, handed from one writer thread to one reader thread (the session)
/// without a lock, so that neither can ever wait on the other, not even on a holder preempted
/// by a thread of higher priority. Three buffers: the writer fills its own, then swaps it with
/// the one that holds the latest whole data; the reader swaps that one for its own when it is
/// newer. No allocation; the data is copied once on each side.
class RPDO_Slot {
public:
    static constexpr std::size_t capacity = 1004;  ///< most RPDO data one frame carries

    /// Stores a copy of `size` bytes (at most `capacity`; more is cut). One writer thread at a time.
    void write(const std::uint8_t* data, std::size_t size) {
        Buffer& buffer = buffers[writing];
        buffer.size = size < capacity ? size : capacity;
        for (std::size_t i = 0; i < buffer.size; ++i) buffer.data[i] = data[i];
        writing = latest.exchange(static_cast<std::uint8_t>(writing | fresh), std::memory_order_acq_rel) & index_mask;
    }

    /// The latest whole data written (empty before the first); valid until the next read. The
    /// reader thread only.
    std::span<const std::uint8_t> read() {
        if (latest.load(std::memory_order_acquire) & fresh)
            reading = latest.exchange(reading, std::memory_order_acq_rel) & index_mask;
        return {buffers[reading].data.data(), buffers[reading].size};
    }

private:
    struct Buffer {
        std::array<std::uint8_t, capacity> data{};
        std::size_t size = 0;
    };
    static constexpr std::uint8_t index_mask = 0x03;
    static constexpr std::uint8_t fresh = 0x04;  ///< the latest buffer has not been read yet

    std::array<Buffer, 3> buffers{};
    std::uint8_t writing = 0;               ///< the writer's own
    std::atomic<std::uint8_t> latest{1};    ///< the latest whole data, and `fresh`
    std::uint8_t reading = 2;               ///< the reader's own
};

}  // namespace Quorin_Core::RT_Serial::Control
