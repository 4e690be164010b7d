#pragma once

#include <cstdint>

#include "rt_serial/datalink/Receive_Counters.hpp"

namespace Quorin_Core::RT_Serial::Control {

/// A session's per-second counters: the receive checks plus what the scheduler started.
/// Plain counts, touched only on the session thread and reset every second.
struct Link_Counters : Datalink::Receive_Counters {
    std::uint32_t rpdo = 0;     ///< RPDO frames fully transmitted
    std::uint32_t tpdo_tx = 0;  ///< TPDO request transfers started
    std::uint32_t nrt_tx = 0;   ///< NRT transfers started

    /// Sets every counter to 0.
    void clear() { *this = Link_Counters{}; }
};

}  // namespace Quorin_Core::RT_Serial::Control
