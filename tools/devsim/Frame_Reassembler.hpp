#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace Quorin_Tools::Devsim {

/// Cuts the byte stream read from the link into frames, however the writes were split: it
/// hunts for 0xAA 0x55, reads the frame size from the fifth byte ((byte >> 2) + 1) * 16, and
/// waits for the rest. Pure: no I/O, no clock. Not thread-safe.
///
/// Use: append() what was read, then call next() until it returns nothing; for each frame it
/// returns, call consume() when it was good or skip() when it was not, so that the hunt
/// resumes one byte after the false start (a real frame may begin inside a bad one).
class Frame_Reassembler {
public:
    /// Adds bytes read from the link.
    void append(const std::uint8_t* data, std::size_t size);

    /// The complete frame at the front of the stream, after dropping (and counting) any bytes
    /// before the next 0xAA 0x55; empty while more bytes are needed. Valid until the next call.
    std::span<const std::uint8_t> next();

    /// Removes the frame that next() returned.
    void consume();

    /// Gives up the frame start at the front: drops its first byte and counts it as discarded.
    void skip();

    /// True when bytes of an incomplete frame are held.
    bool holds_partial() const { return held() != 0; }
    /// Bytes dropped so far without being part of a consumed frame.
    std::uint64_t discarded_bytes() const { return discarded; }
    /// Forgets every byte held (the link was closed); the discard count stays.
    void clear();

private:
    static constexpr std::size_t size_byte_offset = 4;  ///< the byte that gives the frame size
    static constexpr std::size_t compact_threshold_bytes = 4096;  ///< consumed bytes kept before moving the rest

    std::size_t held() const { return buffer.size() - start; }
    /// Drops the front bytes up to the next magic (a lone trailing 0xAA is kept).
    void hunt();
    /// Forgets `count` front bytes.
    void drop(std::size_t count);

    std::vector<std::uint8_t> buffer;
    std::size_t start = 0;  ///< first byte not yet consumed or dropped
    std::uint64_t discarded = 0;
};

}  // namespace Quorin_Tools::Devsim
