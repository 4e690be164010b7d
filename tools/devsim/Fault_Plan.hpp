#pragma once

#include <cstdint>

namespace Quorin_Tools::Devsim {

/// Which answers get a fault. Each period N counts the answers the device builds (TPDO and SDO
/// answers alike, from 1): answer k gets the fault when k is a multiple of N; 0 means never.
/// Several faults may fall on the same answer; a dropped answer gets no other.
struct Fault_Plan {
    std::uint32_t drop_every = 0;          ///< the answer is not sent at all
    std::uint32_t corrupt_crc_every = 0;   ///< the CRC bytes are inverted
    std::uint32_t wrong_source_every = 0;  ///< source identifier 0xA1 instead of 0xA0, CRC made to match
    std::uint32_t wrong_length_every = 0;  ///< length word announces 16 bytes less (16-byte frames: more)
    std::uint32_t oversize_length_every = 0;  ///< length word announces 1024 bytes, CRC made to match the frame
    std::uint32_t stray_every = 0;         ///< a few stray bytes are written before the frame

    /// True when the plan's period `every` falls on answer number `answer`.
    static constexpr bool due(std::uint32_t every, std::uint64_t answer) { return every != 0 && answer % every == 0; }
};

}  // namespace Quorin_Tools::Devsim
