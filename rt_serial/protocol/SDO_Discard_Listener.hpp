#pragma once

#include <cstdint>

namespace Quorin_Core::RT_Serial::Protocol::SDO {

/// Told of each SDO request that left the transmit queue but will never reach the device: the
/// frame that carried it was thrown away (the session stopped, or no window could carry it),
/// or no window of the PDO period can carry the request itself. Whoever keeps account of the
/// answers owed settles them here. Called on the thread that discards, with no lock of the
/// session held.
class Discard_Listener {
public:
    virtual void request_discarded(const std::uint8_t* message, std::uint64_t size) = 0;
    virtual ~Discard_Listener() = default;
};

}  // namespace Quorin_Core::RT_Serial::Protocol::SDO
