#include "rt_serial/datalink/Payload_Descriptor.hpp"

#include <cstring>

namespace Quorin_Core::RT_Serial::Payload {

namespace {

constexpr std::uint8_t millisecond_code = 1;
constexpr std::uint8_t wide_microsecond_code = 3;
constexpr std::uint8_t bits_per_byte = 8;

/// Writes the low `bytes` bytes of `value`, least significant first.
void put_little_endian(std::uint8_t* out, std::uint64_t value, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) out[i] = static_cast<std::uint8_t>(value >> (bits_per_byte * i));
}

std::uint64_t get_little_endian(const std::uint8_t* in, std::size_t bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i) value |= std::uint64_t{in[i]} << (bits_per_byte * i);
    return value;
}

}  // namespace

std::uint64_t Payload_Descriptor::clock_timestamp(std::uint8_t code, std::chrono::system_clock::time_point now) {
    using namespace std::chrono;
    const auto since_epoch = now.time_since_epoch();
    if (code == 0) return 0;
    if (code == millisecond_code) return static_cast<std::uint32_t>(duration_cast<milliseconds>(since_epoch).count());
    const auto us = static_cast<std::uint64_t>(duration_cast<microseconds>(since_epoch).count());
    return code == wide_microsecond_code ? us : static_cast<std::uint32_t>(us);
}

Datalink::Pack_Result Payload_Descriptor::pack(std::uint8_t* buffer, std::size_t& out_length) const {
    const std::size_t header = header_size(flags);
    if (size > max_content_bytes - header) {
        out_length = header;
        return Datalink::PACK_TOO_LONG;
    }
    if (data == nullptr && size != 0) return Datalink::PACK_NULL_POINTER;

    buffer[0] = protocol;
    buffer[1] = flags & (extension_flag | timestamp_code_mask);
    std::size_t at = base_header_bytes;
    if (flags & extension_flag) {
        std::memcpy(buffer + at, ext.data(), extension_bytes);
        at += extension_bytes;
    }
    put_little_endian(buffer + at, timestamp, Timestamp_Size_Table[timestamp_code(flags)]);
    // memmove: callers may have built the data close to its place in the same buffer.
    if (size != 0 && data != buffer + header) std::memmove(buffer + header, data, size);

    const std::size_t content = header + size;
    out_length = padded_length(content);
    std::memset(buffer + content, 0, out_length - content);
    return Datalink::PACK_OK;
}

bool Payload_Descriptor::unpack(const std::uint8_t* area, std::size_t area_size) {
    if (area_size < base_header_bytes) return false;
    const std::size_t header = header_size(area[1]);
    if (header > area_size) return false;

    protocol = area[0];
    flags = area[1];
    std::size_t at = base_header_bytes;
    if (flags & extension_flag) {
        std::memcpy(ext.data(), area + at, extension_bytes);
        at += extension_bytes;
    }
    timestamp = get_little_endian(area + at, Timestamp_Size_Table[timestamp_code(flags)]);
    data = area + header;
    size = area_size - header;
    return true;
}

}  // namespace Quorin_Core::RT_Serial::Payload
