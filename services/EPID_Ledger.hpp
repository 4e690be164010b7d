#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace Quorin_Core {

/// Per EPID, the requests sent to the device and not answered yet. The device gives each
/// answer back with nothing but the EPID of its request, so when a link is removed, the
/// answers still owed to it would reach whoever gets the EPID next (the most recently freed
/// EPID is the first one handed out again). The ledger marks those answers stale, and the
/// mailbox drops them.
///
/// A request whose answer is lost for good leaves a stale mark that would cost the next holder
/// an answer of its own; marks therefore lapse `stale_window` after the unlinking.
///
/// Threading: every operation may be called from any thread; `mutex` guards the entries.
class EPID_Ledger {
public:
    using Clock = std::chrono::steady_clock;

    /// How long answers still owed to a removed link are recognised as stale.
    static constexpr auto stale_window = std::chrono::seconds(5);

    /// A request of `epid` went to the device.
    void request_sent(unsigned char epid);
    /// The link of `epid` was removed at `now`: its unanswered requests become stale.
    void unlinked(unsigned char epid, Clock::time_point now);
    /// Takes account of an answer with `epid` arriving at `now`: true when it is owed to a
    /// removed link and must be dropped.
    bool answer_is_stale(unsigned char epid, Clock::time_point now);
    /// A request of `epid` that was counted will never reach the device.
    void request_withdrawn(unsigned char epid);

private:
    struct Entry {
        std::uint32_t in_flight = 0;  ///< requests of the current link not answered yet
        std::uint32_t stale = 0;      ///< answers still owed to removed links
        Clock::time_point stale_until{};
    };

    std::array<Entry, 256> entries{};
    std::mutex mutex;
};

}  // namespace Quorin_Core
