#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace Quorin_Core::RT_Serial::Driver {

/// Bytes taken off the line ahead of the receive that will read them, in stream order: the
/// front is what the next receive reads before the line. Bytes a receive gave up can be put
/// back at the front, so that they are searched again before anything read after them.
/// Fixed capacity, no allocation. Not thread-safe: the port's mutex guards it.
class Pending_Bytes {
public:
    static constexpr std::size_t capacity = 4096;

    /// What is held, front first.
    std::span<const std::uint8_t> held() const { return {bytes.data() + begin, end - begin}; }
    bool empty() const { return begin == end; }

    /// Takes `count` bytes (at most what is held) off the front.
    void consume(std::size_t count);
    /// Adds bytes read later than all held; returns how many fitted.
    std::size_t append(const std::uint8_t* data, std::size_t count);
    /// Puts bytes read earlier than all held back at the front (they must not lie in this object);
    /// false, and nothing changes, when they do not fit.
    bool put_back(const std::uint8_t* data, std::size_t count);
    /// The free room at the back, for a read straight into it; `commit` then counts what came.
    std::span<std::uint8_t> room();
    void commit(std::size_t count) { end += count; }
    /// Forgets everything held.
    void clear() { begin = end = 0; }

private:
    /// Moves what is held to the start of the array.
    void compact();

    std::array<std::uint8_t, capacity> bytes{};
    std::size_t begin = 0;
    std::size_t end = 0;
};

}  // namespace Quorin_Core::RT_Serial::Driver
