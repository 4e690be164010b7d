#pragma once

#include <cstddef>
#include <cstdint>

#include "rt_serial/datalink/Pack_Result.hpp"
#include "rt_serial/datalink/Raw_Frame.hpp"

namespace Quorin_Core::RT_Serial::Datalink {

/// Builds outgoing frames for one direction of the link: the server's (0x00 to 0xA0) or a
/// device's (0xA0 to 0x00). Every payload gets flags = timestamp code << 5 and no extension
/// bytes, and a timestamp taken from the system clock when the code asks for one.
/// Not thread-safe; one builder per sending thread.
class Frame_Builder {
public:
    /// A builder of frames from `source_id` to `destination_id`, with or without CRC.
    Frame_Builder(std::uint8_t source_id, std::uint8_t destination_id, bool with_crc,
                  std::uint8_t timestamp_code = 0);

    /// Offset in the frame buffer at which a payload's data goes (frame and descriptor headers).
    std::size_t data_offset() const { return data_offset_bytes; }
    /// Most data bytes one frame can carry: 1014 without a timestamp, 1006 with an 8-byte one.
    std::size_t max_data_size() const;

    /// Builds one whole frame in `buffer` (at least 1024 bytes): the payload descriptor at offset
    /// 6, then the frame around it. `data` may already sit at buffer + data_offset(), which saves
    /// the copy. Returns PACK_OK with frame_length set, or the failing pack's result, in which
    /// case nothing is to be sent.
    Pack_Result build(std::uint8_t* buffer, std::uint8_t protocol, const std::uint8_t* data, std::size_t size,
                      std::uint16_t reply_quota, std::size_t& frame_length);

private:
    Raw_Frame frame;
    std::uint8_t flags;
    std::size_t data_offset_bytes;
    bool with_crc;
};

}  // namespace Quorin_Core::RT_Serial::Datalink
