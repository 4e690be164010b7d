#pragma once

#include <cstddef>
#include <cstdint>

#include "rt_serial/datalink/Frame_Sink.hpp"
#include "rt_serial/datalink/ID_Filter.hpp"
#include "rt_serial/datalink/Receive_Counters.hpp"
#include "rt_serial/datalink/Receive_Result.hpp"

namespace Quorin_Core::RT_Serial::Datalink {

/// Validates one delivered frame of `size` bytes and hands on what it carries.
///
/// The frame checks run in order (size, magic, source filter, destination filter, length word,
/// CRC unless `with_crc` is false); the first failure counts in its counter and drops the frame.
/// A good frame counts as ok. Its payload protocol must be recognised, else it is dropped
/// silently; a descriptor header longer than the payload area counts as a payload error. A PDO
/// payload counts in tpdo_rx and goes to sink.pdo_payload with its padding; an SDO payload
/// counts in sdo_rx and each of its messages goes to sink.sdo_message.
///
/// Pure: no I/O, no allocation, and nothing outside frame[0, size) is read.
Receive_Result receive_frame(const std::uint8_t* frame, std::size_t size, const ID_Filter& source_filter,
                             const ID_Filter& destination_filter, bool with_crc, Receive_Counters& counters,
                             Frame_Sink& sink);

}  // namespace Quorin_Core::RT_Serial::Datalink
