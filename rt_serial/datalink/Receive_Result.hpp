#pragma once

#include <cstdint>

namespace Quorin_Core::RT_Serial::Datalink {

/// What became of one received frame. The first five are the frame checks, in the order they
/// run; FRAME_OK means they all passed and the payload is looked at next.
enum class Receive_Result : std::uint8_t {
    LENGTH_ERROR,          ///< size not a frame size, or not the size in the length word
    HEADER_ERROR,          ///< magic bytes are not 0xAA 0x55
    SOURCE_ID_ERROR,       ///< refused by the source filter
    DESTINATION_ID_ERROR,  ///< refused by the destination filter
    CRC_ERROR,             ///< CRC bytes do not match
    FRAME_OK,              ///< every frame check passed
    UNKNOWN_PROTOCOL,      ///< payload protocol not recognised; dropped silently
    PAYLOAD_ERROR,         ///< descriptor header longer than the payload area; dropped
    PDO,                   ///< PDO payload handed to the sink
    SDO,                   ///< SDO payload split and its messages handed to the sink
    OTHER_PROTOCOL,        ///< recognised protocol that nothing handles
};

}  // namespace Quorin_Core::RT_Serial::Datalink
