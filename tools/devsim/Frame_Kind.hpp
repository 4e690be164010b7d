#pragma once

#include <cstdint>
#include <string_view>

namespace Quorin_Tools::Devsim {

/// What a frame from the server turned out to be.
enum class Frame_Kind : std::uint8_t {
    RPDO,          ///< PDO frame with reply quota 0: data kept, nothing answered
    TPDO_REQUEST,  ///< PDO frame with a reply quota: answered with a TPDO frame
    SDO,           ///< SDO frame: answered with an SDO frame
    OTHER,         ///< good frame of another protocol, or a payload that does not fit: not answered
    BAD,           ///< failed a frame check: dropped
};

/// The kind's name as written in traces.
constexpr std::string_view to_string(Frame_Kind kind) {
    switch (kind) {
        case Frame_Kind::RPDO: return "rpdo";
        case Frame_Kind::TPDO_REQUEST: return "tpdo-request";
        case Frame_Kind::SDO: return "sdo";
        case Frame_Kind::OTHER: return "other";
        case Frame_Kind::BAD: return "bad";
    }
    return "?";
}

}  // namespace Quorin_Tools::Devsim
