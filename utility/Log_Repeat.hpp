#pragma once

#include <atomic>
#include <cstdint>

#include "utility/Log_Level.hpp"

namespace Quorin_Core::Utility {

/// Repeat suppression for one call site whose line can fire once per period or per frame (a
/// send to a client that has gone, a lost route). The first line is written as always; the
/// same line again within `window` is counted, not written; one summary line at the same level,
/// "Suppressed N repeats of: <label>", says how many were held back, once the window is over:
/// when the next one comes, or at the next tick (`flush_all`, which the sessions call once a
/// second), or at shutdown.
///
/// "The same line" is the call site with the same `key`, which the call site makes from the
/// values its text is made of (an error code, a byte count), so that a repeat is known without
/// formatting, allocating or blocking.
///
/// Threading: any thread. A thread that finds the site busy with another counts its line as a
/// repeat instead of waiting. The list of sites has a lock of its own, taken only when a site
/// comes or goes and by flush_all, never by admit.
class Log_Repeat {
public:
    static constexpr std::int64_t window_ns = 1'000'000'000;

    /// A site at `level` whose summaries name it by `label` (a string literal).
    Log_Repeat(Log_Level level, const char* label);
    ~Log_Repeat();
    Log_Repeat(const Log_Repeat&) = delete;
    Log_Repeat& operator=(const Log_Repeat&) = delete;

    /// Whether a line with `key` is to be written now; if not, it is counted.
    bool admit(std::uint64_t key) { return admit_at(key, steady_ns()); }
    /// Writes the summaries whose window is over (all of them with `force`) of every site.
    static void flush_all(bool force = false) { flush_all_at(steady_ns(), force); }

    /// The steady clock in nanoseconds.
    static std::int64_t steady_ns();
    /// admit and flush_all at a given steady-clock time in nanoseconds.
    bool admit_at(std::uint64_t key, std::int64_t now_ns);
    static void flush_all_at(std::int64_t now_ns, bool force);

private:
    /// Writes this site's summary if its window is over or `force`. Holds `busy`.
    void flush_locked(std::int64_t now_ns, bool force);

    const Log_Level level;
    const char* const label;
    std::atomic_flag busy = ATOMIC_FLAG_INIT;
    std::uint64_t last_key = 0;
    bool written = false;           ///< a line has been written
    std::int64_t window_start = 0;  ///< when the window of the last line written or summed up began
    std::uint64_t held_back = 0;    ///< repeats counted in the window
    std::atomic<std::uint64_t> missed_while_busy{0};
    Log_Repeat* next = nullptr;     ///< the site registered before this one, under the registry's lock

};

/// A repeat key for a line made of an error code and a count.
template <typename Error_Code>
std::uint64_t repeat_key(const Error_Code& error, std::uint64_t count) {
    const auto category = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&error.category()));
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(error.value())) << 32) ^ count ^ category;
}

}  // namespace Quorin_Core::Utility

/// Logs like QUORIN_LOG, with the repeat suppression of Log_Repeat for this call site; `label`
/// names the line in summaries and `key` tells its texts apart. The pieces are only evaluated
/// when the line is written.
#define QUORIN_LOG_REPEATING(level, label, key, ...)                                                        \
    do {                                                                                                    \
        static ::Quorin_Core::Utility::Log_Repeat quorin_repeat_site_(::Quorin_Core::Utility::Log_Level::level, \
                                                                      label);                               \
        if (quorin_repeat_site_.admit(key)) QUORIN_LOG(level, __VA_ARGS__);                                 \
    } while (false)
