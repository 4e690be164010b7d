#pragma once

#include <cstddef>
#include <cstdint>

namespace Quorin_Core::RT_Serial::Driver {
class Serial_Port;
}

namespace Quorin_Core::RT_Serial::Control {

/// Leading bytes of a frame that rx_size_parser needs: magic, both identifiers, the length byte.
inline constexpr std::uint16_t rx_size_parse_len = 5;

/// Frame size in bytes announced by the first 5 bytes of a frame: ((byte 4 >> 2) + 1) * 16,
/// so 16 to 1024. The port is not used; the driver passes it to every size parser.
std::size_t rx_size_parser(Driver::Serial_Port* port, const std::uint8_t* header_bytes);

}  // namespace Quorin_Core::RT_Serial::Control
