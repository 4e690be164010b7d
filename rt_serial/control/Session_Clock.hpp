#pragma once

#include <boost/asio/basic_waitable_timer.hpp>

#include <atomic>
#include <chrono>

namespace Quorin_Core::RT_Serial::Control {

/// The clock of the session's PDO and NRT timers: the steady clock, which no step of the wall
/// clock (NTP, an operator, a resumed VM) moves. Tests shift it to play a stall of the process
/// or a step of time; nothing else does.
struct Session_Clock {
    using duration = std::chrono::steady_clock::duration;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<Session_Clock>;
    static constexpr bool is_steady = false;  // tests may shift it

    static time_point now() noexcept {
        return time_point(std::chrono::steady_clock::now().time_since_epoch() + duration(shift_.load(std::memory_order_relaxed)));
    }
    /// Moves every session's clock by `by`, forwards or backwards. For tests only.
    static void shift_for_test(duration by) noexcept { shift_.fetch_add(by.count(), std::memory_order_relaxed); }

private:
    static inline std::atomic<rep> shift_{0};
};

/// A timer on the session's clock.
using Session_Timer = boost::asio::basic_waitable_timer<Session_Clock>;

}  // namespace Quorin_Core::RT_Serial::Control
