#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace Quorin_Core {

/// TPDO payloads on their way from a session thread to the PDO thread: a fixed ring of
/// datagram slots. The slot being sent is never written, so a payload that arrives while the
/// previous datagram is on its way cannot alter it, and no payload allocates.
///
/// Threading: `push` runs on the session thread, the other operations on the PDO thread.
/// The ring's indices and flags are guarded by `mutex`; the bytes of the slot in flight are
/// read outside the lock, which is safe because `push` never writes that slot.
class TPDO_Queue {
public:
    /// Bytes one slot holds; a longer payload is cut.
    static constexpr std::size_t slot_bytes = 1024;
    /// Slots in the ring, the one in flight included: a PDO thread held up for this many
    /// periods still delivers every payload, late.
    static constexpr std::size_t slot_count = 8;

    /// A queued payload; empty (`data` null) when there is none to send.
    struct Datagram {
        const std::uint8_t* data = nullptr;
        std::size_t size = 0;
        explicit operator bool() const { return data != nullptr; }
    };

    /// Copies a payload into the next free slot; with every slot taken it replaces the newest
    /// waiting payload instead. True when the caller must schedule a flush: no send is in
    /// flight and no flush is scheduled yet (the mark is set by this call).
    bool push(const std::uint8_t* data, std::size_t size);
    /// The scheduled flush runs: clears the mark and returns the oldest waiting payload, now
    /// in flight, or nothing when a send is in flight already or nothing waits.
    Datagram start_flush();
    /// The send in flight has completed: frees its slot and returns the next waiting payload,
    /// now in flight, or nothing.
    Datagram finish_send();
    /// The send in flight could not be started: frees its slot without starting the next;
    /// the next `push` schedules a flush for what waits.
    void drop_in_flight();
    /// Payloads replaced by a newer one before they could be sent.
    std::uint64_t replaced() const;

private:
    Datagram head_in_flight();

    mutable std::mutex mutex;
    std::array<std::array<std::uint8_t, slot_bytes>, slot_count> slots{};
    std::array<std::size_t, slot_count> sizes{};
    std::size_t head = 0;   ///< the oldest payload, the one in flight while `in_flight`
    std::size_t count = 0;  ///< payloads held, the one in flight included
    bool in_flight = false;
    bool flush_scheduled = false;
    std::uint64_t replaced_count = 0;
};

}  // namespace Quorin_Core
