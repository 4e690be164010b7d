#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace Quorin_Tools::Devsim {

/// The timing of a real serial line, which a pty does not have: at N baud with 8N1 framing a
/// byte takes 10 / N seconds, and each direction carries one byte at a time. Without a rate
/// (baud 0) bytes take no time. Pure: times are given, not read. Not thread-safe.
class Line_Pacer {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::uint64_t bits_per_byte = 10;  ///< start bit, 8 data bits, stop bit

    /// A line of `baud` bits per second; 0 = no pacing.
    explicit Line_Pacer(std::uint32_t baud) : baud(baud) {}

    /// How long the line takes to carry `bytes` bytes.
    Clock::duration transfer_time(std::size_t bytes) const;

    /// When the last byte of a `bytes`-byte frame whose sending began at `sent` has arrived,
    /// behind whatever the receive direction was still carrying.
    Clock::time_point receive_done(Clock::time_point sent, std::size_t bytes);

    /// When each piece of an answer, to be sent from `start` on, has been carried to the other
    /// end (paced) or is to be written (not paced: one `gap` apart), behind what the send
    /// direction still carries.
    std::vector<Clock::time_point> send_times(Clock::time_point start, std::span<const std::size_t> pieces,
                                              Clock::duration gap);

    /// Forgets what the line was carrying (the link was closed).
    void reset();

private:
    std::uint32_t baud;
    Clock::time_point receive_free{};  ///< end of the last frame on the receive direction
    Clock::time_point send_free{};     ///< end of the last piece on the send direction
};

}  // namespace Quorin_Tools::Devsim
