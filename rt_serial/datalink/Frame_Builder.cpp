#include "rt_serial/datalink/Frame_Builder.hpp"

#include <chrono>

#include "rt_serial/datalink/Payload_Descriptor.hpp"

namespace Quorin_Core::RT_Serial::Datalink {

using Payload::Payload_Descriptor;

Frame_Builder::Frame_Builder(std::uint8_t source_id, std::uint8_t destination_id, bool with_crc,
                             std::uint8_t timestamp_code)
    : flags(Payload_Descriptor::flags_for(timestamp_code)),
      data_offset_bytes(Raw_Frame::header_bytes + Payload_Descriptor::header_size(flags)),
      with_crc(with_crc) {
    frame.source_id = source_id;
    frame.destination_id = destination_id;
}

std::size_t Frame_Builder::max_data_size() const {
    return Payload_Descriptor::max_content_bytes - Payload_Descriptor::header_size(flags);
}

Pack_Result Frame_Builder::build(std::uint8_t* buffer, std::uint8_t protocol, const std::uint8_t* data,
                                 std::size_t size, std::uint16_t reply_quota, std::size_t& frame_length) {
    Payload_Descriptor descriptor;
    descriptor.protocol = protocol;
    descriptor.flags = flags;
    descriptor.data = data;
    descriptor.size = size;
    const std::uint8_t code = Payload_Descriptor::timestamp_code(flags);
    if (code != 0) descriptor.timestamp = Payload_Descriptor::clock_timestamp(code, std::chrono::system_clock::now());

    std::size_t payload_length = 0;
    const Pack_Result packed = descriptor.pack(buffer + Raw_Frame::header_bytes, payload_length);
    if (packed != PACK_OK) return packed;

    frame.payload = buffer + Raw_Frame::header_bytes;
    frame.length = static_cast<std::uint16_t>(payload_length + Raw_Frame::overhead_bytes);
    frame.reply_quota = reply_quota;
    const Pack_Result framed = frame.pack(buffer, with_crc);
    if (framed == PACK_OK) frame_length = frame.length;
    return framed;
}

}  // namespace Quorin_Core::RT_Serial::Datalink
