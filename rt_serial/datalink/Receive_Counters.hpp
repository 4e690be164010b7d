#pragma once

#include <cstdint>

namespace Quorin_Core::RT_Serial::Datalink {

/// The per-second counters that receiving frames touches. Plain counts, owned and reset by the
/// session thread; the session's own counter set embeds this one.
struct Receive_Counters {
    std::uint32_t ok = 0;              ///< frames that passed every frame check
    std::uint32_t header = 0;          ///< wrong magic bytes
    std::uint32_t source_id = 0;       ///< refused by the source filter
    std::uint32_t destination_id = 0;  ///< refused by the destination filter
    std::uint32_t length = 0;          ///< bad size or length word
    std::uint32_t crc = 0;             ///< CRC mismatch
    std::uint32_t payload = 0;         ///< good frame whose descriptor does not fit its payload area
    std::uint32_t tpdo_rx = 0;         ///< frames carrying a PDO payload
    std::uint32_t sdo_rx = 0;          ///< frames carrying an SDO payload

    /// Sets every counter to 0.
    void clear() { *this = Receive_Counters{}; }
    /// Equal when every counter is.
    bool operator==(const Receive_Counters&) const = default;
};

}  // namespace Quorin_Core::RT_Serial::Datalink
