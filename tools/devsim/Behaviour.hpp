#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "tools/devsim/Fault_Plan.hpp"
#include "tools/devsim/TPDO_Mode.hpp"

namespace Quorin_Tools::Devsim {

/// How the device answers. May be changed while the simulator runs; each answer uses the
/// behaviour current when its request is handled.
struct Behaviour {
    static constexpr std::size_t default_tpdo_size_bytes = 32;  ///< counter-pattern data size
    static constexpr std::size_t min_tpdo_size_bytes = 4;       ///< the counter itself
    static constexpr std::size_t max_tpdo_size_bytes = 1014;    ///< most data one frame carries
    static constexpr std::chrono::microseconds default_split_gap{100};  ///< between pieces when not paced

    TPDO_Mode tpdo_mode = TPDO_Mode::ECHO_RPDO;            ///< source of TPDO data
    std::size_t tpdo_size = default_tpdo_size_bytes;       ///< counter-pattern data bytes
    std::chrono::microseconds answer_delay{0};             ///< from handling a request to sending the answer
    unsigned split_pieces = 1;                             ///< each answer is written in this many pieces
    std::chrono::microseconds split_gap = default_split_gap;  ///< pause between pieces when not paced
    Fault_Plan faults;                                     ///< faults to inject
};

}  // namespace Quorin_Tools::Devsim
