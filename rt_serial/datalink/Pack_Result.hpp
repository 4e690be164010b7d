#pragma once

namespace Quorin_Core::RT_Serial::Datalink {

/// Result codes of the pack operations; anything but PACK_OK means nothing is to be sent.
/// Unscoped so that callers may treat them as the plain integers the link layer returns.
enum Pack_Result : int {
    PACK_OK = 0,            ///< the frame or payload was written
    PACK_TOO_LONG = 2,      ///< descriptor header plus data exceed the payload area
    PACK_BAD_LENGTH = 4,    ///< frame length not in 16..1024 or not a multiple of 16
    PACK_NULL_POINTER = 6,  ///< payload or data pointer missing
};

}  // namespace Quorin_Core::RT_Serial::Datalink
