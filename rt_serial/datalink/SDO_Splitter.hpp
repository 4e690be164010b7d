#pragma once

#include <cstddef>
#include <cstdint>

namespace Quorin_Core::RT_Serial::Payload {

/// Splits the data of an SDO payload into the SDO messages laid end to end in it. A message's
/// length follows from its control byte c: bit 0 must be set; (c & 0xE0) == 0x40 adds one
/// extension byte (base code c - 0x20), 0x60 adds two (base code c - 0x40); the base code gives
/// the rest. Base code 0x3B carries its own length byte n at offset 4 + extensions. Zero
/// padding, an unknown code or a message running past the data ends the sequence.
class SDO_Splitter {
public:
    static constexpr std::size_t min_data_bytes = 4;  ///< shorter data holds no message

    /// Length of the message at `offset` of `size` data bytes, or 0 when the sequence ends there.
    /// Reads only data[offset, size).
    static std::size_t message_length(const std::uint8_t* data, std::size_t size, std::size_t offset);

    /// Calls sink(message, length) for each message in order; returns how many there were.
    template <typename Sink>
    static std::size_t split(const std::uint8_t* data, std::size_t size, Sink&& sink) {
        if (size < min_data_bytes) return 0;
        std::size_t messages = 0;
        for (std::size_t offset = 0; offset < size; ++messages) {
            const std::size_t length = message_length(data, size, offset);
            if (length == 0) break;
            sink(data + offset, length);
            offset += length;
        }
        return messages;
    }
};

}  // namespace Quorin_Core::RT_Serial::Payload
