#pragma once

#include <cstddef>
#include <cstdint>

#include "rt_serial/datalink/CRC16_Modbus.hpp"
#include "rt_serial/datalink/ID_Filter.hpp"
#include "rt_serial/datalink/Pack_Result.hpp"
#include "rt_serial/datalink/Receive_Result.hpp"

namespace Quorin_Core::RT_Serial::Datalink {

/// The unpacked view of one link frame: magic, identifiers, a big-endian length word (bits
/// 15..10 = length / 16 - 1, bits 9..0 = reply quota), the payload area and a CRC-16/MODBUS
/// stored high byte first. A received frame is viewed in place: payload points into its buffer.
struct Raw_Frame {
    static constexpr std::uint8_t magic_0 = 0xAA;               ///< first byte of every frame
    static constexpr std::uint8_t magic_1 = 0x55;               ///< second byte of every frame
    static constexpr std::uint8_t host_id = 0x00;               ///< the server's link identifier
    static constexpr std::uint8_t device_id = 0xA0;             ///< the device's link identifier
    static constexpr std::size_t length_unit_bytes = 16;        ///< frame lengths are multiples of this
    static constexpr std::size_t min_length_bytes = 16;         ///< shortest frame
    static constexpr std::size_t max_length_bytes = 1024;       ///< longest frame
    static constexpr std::size_t header_bytes = 6;              ///< magic, identifiers, length word
    static constexpr std::size_t crc_bytes = 2;                 ///< trailing CRC field
    static constexpr std::size_t overhead_bytes = header_bytes + crc_bytes;  ///< all but the payload
    static constexpr std::size_t max_payload_bytes = max_length_bytes - overhead_bytes;  ///< 1016
    static constexpr std::uint16_t reply_quota_mask = 0x03FF;   ///< low 10 bits of the length word
    static constexpr unsigned length_shift = 10;                ///< position of the length code

    /// Frame length in bytes encoded by a length word: ((word >> 10) + 1) * 16.
    static constexpr std::size_t length_from_word(std::uint16_t word) {
        return ((word >> length_shift) + 1u) * length_unit_bytes;
    }
    /// True for 16, 32, ..., 1024.
    static constexpr bool is_frame_length(std::size_t length) {
        return length - min_length_bytes <= max_length_bytes - min_length_bytes && length % length_unit_bytes == 0;
    }

    /// Writes the whole frame into `buffer` (at least `length` bytes): header, length - 8 payload
    /// bytes (copied unless payload already is buffer + 6), then the CRC, or 0x00 0x00 without it.
    /// Returns PACK_OK, PACK_BAD_LENGTH or PACK_NULL_POINTER; on failure nothing is written.
    Pack_Result pack(std::uint8_t* buffer, bool with_crc);

    /// Runs the frame checks on `size` received bytes, in order: size, magic, source filter,
    /// destination filter, length word, CRC (unless `with_crc` is false). Fills the fields as far
    /// as the checks got and returns the first failure, or FRAME_OK. Reads only frame[0, size).
    Receive_Result unpack(const std::uint8_t* frame, std::size_t size, const ID_Filter& source_filter,
                          const ID_Filter& destination_filter, bool with_crc);

    const std::uint8_t* payload = nullptr;  ///< start of the payload area (frame offset 6)
    std::uint8_t source_id = host_id;       ///< sender's identifier
    std::uint8_t destination_id = device_id;  ///< receiver's identifier
    std::uint16_t length = 0;               ///< total frame length in bytes
    std::uint16_t reply_quota = 0;          ///< 4-byte units the receiver may answer with
    CRC16_Modbus crc;                       ///< reset before each computation

private:
    /// CRC of the first `size` bytes, computed with `crc`.
    std::uint16_t compute_crc(const std::uint8_t* bytes, std::size_t size);
};

}  // namespace Quorin_Core::RT_Serial::Datalink
