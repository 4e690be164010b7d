#pragma once

#include <boost/crc.hpp>

#include <cstddef>
#include <cstdint>

namespace Quorin_Core::RT_Serial::Datalink {

/// The link's CRC engine: CRC-16/MODBUS (polynomial 0x8005, initial value 0xFFFF, reflected
/// input and output, no final XOR). Table-driven, one byte per step, no allocation.
using CRC16_Modbus = boost::crc_optimal<16, 0x8005, 0xFFFF, 0x0000, true, true>;

/// The CRC-16/MODBUS of `size` bytes at `data`.
inline std::uint16_t crc16_modbus(const std::uint8_t* data, std::size_t size) {
    CRC16_Modbus crc;
    crc.process_bytes(data, size);
    return crc.checksum();
}

}  // namespace Quorin_Core::RT_Serial::Datalink
