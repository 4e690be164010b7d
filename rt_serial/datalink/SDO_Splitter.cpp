#include "rt_serial/datalink/SDO_Splitter.hpp"

#include <array>

namespace Quorin_Core::RT_Serial::Payload {

namespace {

/// Bytes before the extension bytes of a message: control byte, three fixed bytes.
constexpr std::size_t extension_offset = 4;
/// The one base code whose messages carry their own length byte.
constexpr std::uint8_t variable_length_code = 0x3B;

/// What a control byte tells: extension bytes and the fixed part of the message length.
struct Code_Info {
    std::uint8_t extensions = 0;    ///< 0, 1 or 2
    std::uint8_t fixed_length = 0;  ///< 0 = the sequence ends at this control byte
    bool has_length_byte = false;   ///< add the byte at offset 4 + extensions
};

/// Message length of a base code without extension bytes, 0 for unknown codes.
constexpr std::uint8_t base_length(std::uint8_t base) {
    switch (base) {
        case 0x21: return 4;
        case 0x23: return 8;
        case 0x33: return 8;
        case 0x35: return 5;
        case 0x37: return 6;
        case 0x39: return 8;
        case 0x3B: return 5;
        case 0x3D: return 12;
        default: return 0;
    }
}

constexpr Code_Info decode(std::uint8_t control) {
    if ((control & 1) == 0) return {};
    std::uint8_t extensions = 0;
    std::uint8_t base = control;
    if ((control & 0xE0) == 0x40) extensions = 1, base = static_cast<std::uint8_t>(control - 0x20);
    if ((control & 0xE0) == 0x60) extensions = 2, base = static_cast<std::uint8_t>(control - 0x40);
    const std::uint8_t length = base_length(base);
    if (length == 0) return {};
    return {extensions, static_cast<std::uint8_t>(length + extensions), base == variable_length_code};
}

constexpr std::array<Code_Info, 256> make_table() {
    std::array<Code_Info, 256> table{};
    for (unsigned c = 0; c < table.size(); ++c) table[c] = decode(static_cast<std::uint8_t>(c));
    return table;
}

/// Decoded once at compile time, so splitting costs one look-up per message.
constexpr std::array<Code_Info, 256> code_table = make_table();

}  // namespace

std::size_t SDO_Splitter::message_length(const std::uint8_t* data, std::size_t size, std::size_t offset) {
    const Code_Info& info = code_table[data[offset]];
    if (info.fixed_length == 0) return 0;
    const std::size_t left = size - offset;
    // One extension byte needs 5 bytes left, two need 6, before anything else is looked at.
    if (info.extensions != 0 && left < extension_offset + info.extensions) return 0;

    std::size_t length = info.fixed_length;
    if (info.has_length_byte) {
        const std::size_t at = extension_offset + info.extensions;
        if (at >= left) return 0;  // the length byte itself lies beyond the data
        length += data[offset + at];
    }
    return length <= left ? length : 0;
}

}  // namespace Quorin_Core::RT_Serial::Payload
