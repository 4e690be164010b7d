#include "utility/Log_Repeat.hpp"

#include <chrono>
#include <mutex>

#include "utility/Logger.hpp"

namespace Quorin_Core::Utility {

namespace {

struct Registry {
    std::mutex mutex;
    Log_Repeat* first = nullptr;
};

Registry& registry() {
    static Registry sites;
    return sites;
}

}  // namespace

Log_Repeat::Log_Repeat(Log_Level level, const char* label) : level(level), label(label) {
    std::lock_guard lock(registry().mutex);
    next = registry().first;
    registry().first = this;
}

Log_Repeat::~Log_Repeat() {
    std::lock_guard lock(registry().mutex);
    for (Log_Repeat** link = &registry().first; *link != nullptr; link = &(*link)->next) {
        if (*link != this) continue;
        *link = next;
        return;
    }
}

std::int64_t Log_Repeat::steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool Log_Repeat::admit_at(std::uint64_t key, std::int64_t now) {
    if (busy.test_and_set(std::memory_order_acquire)) {
        missed_while_busy.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    held_back += missed_while_busy.exchange(0, std::memory_order_relaxed);
    bool write = true;
    if (written && key == last_key) {
        flush_locked(now, false);  // a window that is over is summed up, and a new one begins
        // Written again only after a quiet window; in a busy one it is counted.
        write = held_back == 0 && now - window_start >= window_ns;
        if (write) {
            window_start = now;
        } else {
            ++held_back;
        }
    } else {
        flush_locked(now, true);  // another text: what the last one held back is told first
        last_key = key;
        written = true;
        window_start = now;
    }
    busy.clear(std::memory_order_release);
    return write;
}

void Log_Repeat::flush_locked(std::int64_t now_ns, bool force) {
    if (held_back == 0 || (!force && now_ns - window_start < window_ns)) return;
    Logger::instance().log(level, __FILE__, __LINE__, "Suppressed ", held_back, " repeats of: ", label);
    held_back = 0;
    window_start = now_ns;
}

void Log_Repeat::flush_all_at(std::int64_t now, bool force) {
    std::lock_guard lock(registry().mutex);
    for (Log_Repeat* site = registry().first; site != nullptr; site = site->next) {
        if (site->busy.test_and_set(std::memory_order_acquire)) continue;
        site->held_back += site->missed_while_busy.exchange(0, std::memory_order_relaxed);
        site->flush_locked(now, force);
        site->busy.clear(std::memory_order_release);
    }
}

}  // namespace Quorin_Core::Utility
