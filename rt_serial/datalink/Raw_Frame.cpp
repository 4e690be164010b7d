#include "rt_serial/datalink/Raw_Frame.hpp"

#include <cstring>

namespace Quorin_Core::RT_Serial::Datalink {

Pack_Result Raw_Frame::pack(std::uint8_t* buffer, bool with_crc) {
    if (!is_frame_length(length)) return PACK_BAD_LENGTH;
    if (payload == nullptr) return PACK_NULL_POINTER;

    const auto word = static_cast<std::uint16_t>(((length / length_unit_bytes - 1) << length_shift) |
                                                 (reply_quota & reply_quota_mask));
    buffer[0] = magic_0;
    buffer[1] = magic_1;
    buffer[2] = source_id;
    buffer[3] = destination_id;
    buffer[4] = static_cast<std::uint8_t>(word >> 8);
    buffer[5] = static_cast<std::uint8_t>(word);
    // memmove: a payload built inside the buffer near its final place may overlap it.
    if (payload != buffer + header_bytes) std::memmove(buffer + header_bytes, payload, length - overhead_bytes);

    const std::uint16_t sum = with_crc ? compute_crc(buffer, length - crc_bytes) : 0;
    buffer[length - 2] = static_cast<std::uint8_t>(sum >> 8);
    buffer[length - 1] = static_cast<std::uint8_t>(sum);
    return PACK_OK;
}

Receive_Result Raw_Frame::unpack(const std::uint8_t* frame, std::size_t size, const ID_Filter& source_filter,
                                 const ID_Filter& destination_filter, bool with_crc) {
    if (!is_frame_length(size)) return Receive_Result::LENGTH_ERROR;
    if (frame[0] != magic_0 || frame[1] != magic_1) return Receive_Result::HEADER_ERROR;
    source_id = frame[2];
    if (!source_filter.is_available(source_id)) return Receive_Result::SOURCE_ID_ERROR;
    destination_id = frame[3];
    if (!destination_filter.is_available(destination_id)) return Receive_Result::DESTINATION_ID_ERROR;

    const auto word = static_cast<std::uint16_t>((frame[4] << 8) | frame[5]);
    length = static_cast<std::uint16_t>(length_from_word(word));
    reply_quota = word & reply_quota_mask;
    if (length != size) return Receive_Result::LENGTH_ERROR;

    if (with_crc) {
        const auto stored = static_cast<std::uint16_t>((frame[size - 2] << 8) | frame[size - 1]);
        if (compute_crc(frame, size - crc_bytes) != stored) return Receive_Result::CRC_ERROR;
    }
    payload = frame + header_bytes;
    return Receive_Result::FRAME_OK;
}

std::uint16_t Raw_Frame::compute_crc(const std::uint8_t* bytes, std::size_t size) {
    crc.reset();
    crc.process_bytes(bytes, size);
    return crc.checksum();
}

}  // namespace Quorin_Core::RT_Serial::Datalink
