#include "tools/devsim/Line_Pacer.hpp"

#include <algorithm>

namespace Quorin_Tools::Devsim {

Line_Pacer::Clock::duration Line_Pacer::transfer_time(std::size_t bytes) const {
    if (baud == 0) return Clock::duration::zero();
    const std::uint64_t ns = bytes * bits_per_byte * std::nano::den / baud;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns));
}

Line_Pacer::Clock::time_point Line_Pacer::receive_done(Clock::time_point sent, std::size_t bytes) {
    receive_free = std::max(sent, receive_free) + transfer_time(bytes);
    return receive_free;
}

std::vector<Line_Pacer::Clock::time_point> Line_Pacer::send_times(Clock::time_point start,
                                                                  std::span<const std::size_t> pieces,
                                                                  Clock::duration gap) {
    std::vector<Clock::time_point> due;
    due.reserve(pieces.size());
    Clock::time_point at = std::max(start, send_free);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (baud != 0) {
            at += transfer_time(pieces[i]);
        } else if (i != 0) {
            at += gap;
        }
        due.push_back(at);
    }
    if (!due.empty()) send_free = due.back();
    return due;
}

void Line_Pacer::reset() {
    receive_free = {};
    send_free = {};
}

}  // namespace Quorin_Tools::Devsim
