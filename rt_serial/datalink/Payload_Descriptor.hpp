#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "rt_serial/datalink/Pack_Result.hpp"
#include "rt_serial/datalink/Timestamp_Size_Table.hpp"

namespace Quorin_Core::RT_Serial::Payload {

/// The unpacked view of one payload: protocol, flags (bit 7 = two extension bytes follow,
/// bits 6..5 = timestamp code), the extension bytes, a little-endian timestamp, the data, and
/// zero padding up to the next length L with L + 8 a multiple of 16.
struct Payload_Descriptor {
    static constexpr std::uint8_t extension_flag = 0x80;         ///< flags bit: extension bytes present
    static constexpr std::uint8_t timestamp_code_mask = 0x60;    ///< flags bits of the timestamp code
    static constexpr unsigned timestamp_code_shift = 5;          ///< position of the timestamp code
    static constexpr std::size_t base_header_bytes = 2;          ///< protocol and flags
    static constexpr std::size_t extension_bytes = 2;            ///< size of ext
    static constexpr std::size_t max_content_bytes = 1016;       ///< header plus data, 1024 - 8
    static constexpr std::size_t max_data_bytes = max_content_bytes - base_header_bytes - extension_bytes - 8;  ///< 1004

    /// The timestamp code held in `flags`.
    static constexpr std::uint8_t timestamp_code(std::uint8_t flags) {
        return static_cast<std::uint8_t>((flags & timestamp_code_mask) >> timestamp_code_shift);
    }
    /// Flags that announce timestamp `code` and no extension bytes, as every sent payload has.
    static constexpr std::uint8_t flags_for(std::uint8_t code) {
        return static_cast<std::uint8_t>((code << timestamp_code_shift) & timestamp_code_mask);
    }
    /// Descriptor header bytes announced by `flags`: 2, plus 2 with extension, plus the timestamp.
    static constexpr std::size_t header_size(std::uint8_t flags) {
        return base_header_bytes + ((flags & extension_flag) ? extension_bytes : 0) +
               Timestamp_Size_Table[timestamp_code(flags)];
    }
    /// Padded payload length for `content` bytes of header plus data: the smallest L >= content
    /// with L + 8 a multiple of 16.
    static constexpr std::size_t padded_length(std::size_t content) { return ((content + 23) & ~std::size_t{15}) - 8; }
    /// The timestamp that code `code` takes from the clock reading `now`: 1 = milliseconds and
    /// 2 = microseconds, both truncated to 32 bits; 3 = microseconds; 0 = none (0).
    static std::uint64_t clock_timestamp(std::uint8_t code, std::chrono::system_clock::time_point now);

    /// Writes protocol, flags (bits 4..0 cleared), ext when announced, the timestamp per the code,
    /// the data (copied unless already in place) and the padding into `buffer`. Returns PACK_OK
    /// with out_length = padded payload length; PACK_TOO_LONG when header plus data exceed 1016
    /// bytes (out_length = header length, nothing written); PACK_NULL_POINTER when data is null
    /// but size is not 0 (nothing written).
    Datalink::Pack_Result pack(std::uint8_t* buffer, std::size_t& out_length) const;

    /// Reads the descriptor at the start of a received payload area of `area_size` bytes. Data
    /// runs from after the header to the end of the area, padding included. Returns false,
    /// leaving data and size alone, when the header does not fit in the area.
    bool unpack(const std::uint8_t* area, std::size_t area_size);

    std::uint64_t timestamp = 0;         ///< 0, 4 (low 32 bits) or 8 bytes are sent, per the code
    const std::uint8_t* data = nullptr;  ///< the data block
    std::uint64_t size = 0;              ///< data bytes
    std::uint8_t protocol = 0;           ///< payload protocol number
    std::uint8_t flags = 0;              ///< extension flag and timestamp code
    std::array<std::uint8_t, extension_bytes> ext{};  ///< sent only when flags bit 7 is set
};

}  // namespace Quorin_Core::RT_Serial::Payload
