#include "rt_serial/datalink/rx_size_parser.hpp"

#include "rt_serial/datalink/Raw_Frame.hpp"

namespace Quorin_Core::RT_Serial::Control {

std::size_t rx_size_parser(Driver::Serial_Port* /*port*/, const std::uint8_t* header_bytes) {
    return Datalink::Raw_Frame::length_from_word(static_cast<std::uint16_t>(header_bytes[4] << 8));
}

}  // namespace Quorin_Core::RT_Serial::Control
