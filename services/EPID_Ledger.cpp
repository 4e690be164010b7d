#include "services/EPID_Ledger.hpp"

#include <algorithm>

namespace Quorin_Core {
namespace {

constexpr std::uint64_t largest_request_bytes = 1014;
constexpr std::uint64_t exchange_bytes = 2048;  // a 1024-byte frame and a 1024-byte answer
constexpr std::size_t epid_offset = 4;

}  // namespace

EPID_Ledger::Run_Time EPID_Ledger::hold_time(std::uint64_t queued_requests, float us_per_byte) {
    const double line_us =
        2.0 * static_cast<double>(queued_requests * largest_request_bytes + exchange_bytes) * us_per_byte;
    return std::max<Run_Time>(min_hold, std::chrono::duration_cast<Run_Time>(std::chrono::duration<double, std::micro>(line_us)));
}

void EPID_Ledger::request_sent(unsigned char epid) {
    std::lock_guard lock(mutex);
    ++entries[epid].owed;
}

void EPID_Ledger::request_withdrawn(unsigned char epid) {
    std::lock_guard lock(mutex);
    Entry& entry = entries[epid];
    if (entry.owed != 0) --entry.owed;
    if (entry.owed == 0) entry.held_until.reset();
}

void EPID_Ledger::request_discarded(const std::uint8_t* message, std::uint64_t size) {
    if (size > epid_offset) request_withdrawn(message[epid_offset]);
}

void EPID_Ledger::unlinked(unsigned char epid, Run_Time now, Run_Time hold) {
    std::lock_guard lock(mutex);
    Entry& entry = entries[epid];
    if (entry.owed == 0) return;
    const Run_Time until = now + hold;
    entry.held_until = entry.held_until ? std::max(*entry.held_until, until) : until;
}

bool EPID_Ledger::answer_owed_to_removed_link(unsigned char epid, Run_Time now) {
    std::lock_guard lock(mutex);
    Entry& entry = entries[epid];
    const bool owed_to_removed = still_held(entry, now);
    if (entry.owed != 0) --entry.owed;
    still_held(entry, now);
    return owed_to_removed;
}

bool EPID_Ledger::held(unsigned char epid, Run_Time now) {
    std::lock_guard lock(mutex);
    return still_held(entries[epid], now);
}

void EPID_Ledger::rebase(Run_Time by) {
    std::lock_guard lock(mutex);
    for (Entry& entry : entries)
        if (entry.held_until) entry.held_until = *entry.held_until - by;
}

bool EPID_Ledger::still_held(Entry& entry, Run_Time now) {
    if (!entry.held_until) return false;
    if (entry.owed != 0 && now < *entry.held_until) return true;
    // Lapsed: what is still owed is taken as lost.
    entry.held_until.reset();
    entry.owed = 0;
    return false;
}

}  // namespace Quorin_Core
