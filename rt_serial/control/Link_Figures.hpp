#pragma once

#include <array>
#include <cstdint>

#include "rt_serial/control/Diagnostic_Raw.hpp"
#include "rt_serial/control/Link_Counters.hpp"

namespace Quorin_Core::RT_Serial::Control {

/// How much each of the port's cumulative transfer counters grew in one second, in the order
/// tx frames, rx frames, rx errors, rx time-outs, tx bytes, rx bytes (low 32 bits).
using Port_Deltas = std::array<std::uint32_t, 6>;

/// One second's figures from the session's counters and the port's growth. Rates are
/// clamped to 1 and are 0 when their base is not above 0; the time-out rate's base is the
/// frames sent that expected an answer (all sent frames less the RPDO frames).
Diagnostic_Snapshot link_figures(const Link_Counters& counters, const Port_Deltas& port);

}  // namespace Quorin_Core::RT_Serial::Control
