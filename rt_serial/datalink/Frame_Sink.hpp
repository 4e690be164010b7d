#pragma once

#include <cstddef>
#include <cstdint>

namespace Quorin_Core::RT_Serial::Datalink {

/// Receives what a good frame carries. Pointers refer into the receive buffer and are valid
/// only during the call.
class Frame_Sink {
public:
    /// Virtual, as sinks are used through this interface.
    virtual ~Frame_Sink() = default;
    /// The data of a PDO payload, zero padding included (at most 1014 bytes).
    virtual void pdo_payload(const std::uint8_t* data, std::size_t size) = 0;
    /// One SDO message of an SDO payload (4 to 262 bytes).
    virtual void sdo_message(const std::uint8_t* data, std::size_t size) = 0;
};

}  // namespace Quorin_Core::RT_Serial::Datalink
