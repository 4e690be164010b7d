#include "services/EPID_Ledger.hpp"

namespace Quorin_Core {

void EPID_Ledger::request_sent(unsigned char epid) {
    std::lock_guard lock(mutex);
    ++entries[epid].in_flight;
}

void EPID_Ledger::unlinked(unsigned char epid, Clock::time_point now) {
    std::lock_guard lock(mutex);
    Entry& entry = entries[epid];
    if (now >= entry.stale_until) entry.stale = 0;
    entry.stale += entry.in_flight;
    entry.in_flight = 0;
    entry.stale_until = now + stale_window;
}

bool EPID_Ledger::answer_is_stale(unsigned char epid, Clock::time_point now) {
    std::lock_guard lock(mutex);
    Entry& entry = entries[epid];
    if (entry.stale != 0 && now < entry.stale_until) {
        --entry.stale;
        return true;
    }
    entry.stale = 0;
    if (entry.in_flight != 0) --entry.in_flight;
    return false;
}

void EPID_Ledger::request_withdrawn(unsigned char epid) {
    std::lock_guard lock(mutex);
    Entry& entry = entries[epid];
    if (entry.stale != 0) {
        --entry.stale;
    } else if (entry.in_flight != 0) {
        --entry.in_flight;
    }
}

}  // namespace Quorin_Core
