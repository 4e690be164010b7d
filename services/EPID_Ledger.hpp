#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

#include "rt_serial/protocol/SDO_Discard_Listener.hpp"

namespace Quorin_Core {

/// The account of one device's SDO answers: per EPID, the requests handed to the device and
/// not answered yet, and whether the EPID is held back from reuse.
///
/// Why it is needed: the device gives an answer back with nothing but the EPID of its request.
/// It may keep an answer that does not fit a reply for a later exchange, and late frames are
/// taken in between exchanges, so an answer can come long after its request. If an EPID went to
/// a new client while answers to its previous holder were still on their way, the new client
/// would get them. No answer may ever reach a client that did not send its request, so:
/// 1. Removing a link takes that EPID's requests out of the transmit queue (the mailbox does it,
///    under the links' lock, so no request of the link can slip in meanwhile): a request never
///    sent is never answered. A request the session took but threw away (the device was closed,
///    or no window could carry it) is settled through request_discarded.
/// 2. What is still owed when the link goes was sent to the device. The EPID is then held back:
///    a new link takes the next free EPID that is not held, and an answer that comes for a held
///    EPID is dropped and settles one owed answer. The EPID is free again once nothing is owed.
/// 3. An answer can be lost for good (a CRC error, a time-out, a device that answers with
///    another EPID). So a hold also ends when `hold_time` has passed on the device session's run
///    time (a clock that stands still while the session is stopped, when no answer can come):
///    far longer than an answer takes to cross the queue ahead of it and the line.
/// 4. With nothing owed, the EPID is free at once and EPIDs are reused in the links' own order.
///
/// Left open: a device that keeps an answer back for longer than the hold (it can only send it
/// when asked, so this needs a line with no SDO traffic for that long) may still hand it to the
/// next holder. Requests the transmit queue drops when it overflows are not settled here; their
/// EPIDs are held back until the hold ends.
///
/// Threading: every operation may be called from any thread; `mutex` guards the entries.
class EPID_Ledger : public RT_Serial::Protocol::SDO::Discard_Listener {
public:
    /// A reading of the device session's run time.
    using Run_Time = std::chrono::nanoseconds;

    /// The shortest hold.
    static constexpr Run_Time min_hold = std::chrono::seconds(5);

    /// The hold after an unlinking: twice the time the line needs for `queued_requests`
    /// requests of the largest size and one more exchange, at `us_per_byte`, and at least min_hold.
    static Run_Time hold_time(std::uint64_t queued_requests, float us_per_byte);

    /// A request of `epid` went into the transmit queue.
    void request_sent(unsigned char epid);
    /// A counted request of `epid` will never reach the device.
    void request_withdrawn(unsigned char epid);
    /// The session threw away a request it had taken (byte 4 is its EPID).
    void request_discarded(const std::uint8_t* message, std::uint64_t size) override;
    /// The link of `epid` was removed at `now`: if anything is owed, the EPID is held for `hold`.
    void unlinked(unsigned char epid, Run_Time now, Run_Time hold);
    /// Takes account of an answer with `epid` arriving at `now`: true when it is owed to a
    /// removed link and must be dropped.
    bool answer_owed_to_removed_link(unsigned char epid, Run_Time now);
    /// Whether `epid` is held back at `now`.
    bool held(unsigned char epid, Run_Time now);
    /// Moves every hold `by` earlier: the ledger goes on with a device whose run time starts
    /// from 0 again, after one that ran for `by`.
    void rebase(Run_Time by);

private:
    struct Entry {
        std::uint32_t owed = 0;                ///< requests sent and not answered yet
        std::optional<Run_Time> held_until;  ///< set while held back
    };

    /// Ends a hold that has lapsed or has nothing owed; whether the entry is still held.
    static bool still_held(Entry& entry, Run_Time now);

    std::array<Entry, 256> entries{};
    std::mutex mutex;
};

}  // namespace Quorin_Core
