#pragma once

#include <cstdint>

namespace Quorin_Tools::Devsim {

/// What the device puts in its TPDO answers.
enum class TPDO_Mode : std::uint8_t {
    ECHO_RPDO,  ///< the data of the last RPDO frame, padding included
    COUNTER,    ///< a 4-byte little-endian answer counter, then bytes 4, 5, 6, ... (mod 256)
};

}  // namespace Quorin_Tools::Devsim
