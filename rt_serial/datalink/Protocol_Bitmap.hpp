#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>

namespace Quorin_Core::RT_Serial::Payload {

/// Payload protocol of process data: RPDO frames, TPDO requests and TPDO answers.
inline constexpr std::uint8_t pdo_protocol = 0x11;
/// Payload protocol of service data: a sequence of SDO messages.
inline constexpr std::uint8_t sdo_protocol = 0x21;

/// A set of payload protocol numbers: bit n of word n / 32 stands for protocol n.
class Protocol_Bitmap {
public:
    /// A set holding exactly `members`.
    constexpr Protocol_Bitmap(std::initializer_list<std::uint8_t> members) {
        for (const std::uint8_t protocol : members) insert(protocol);
    }

    /// Puts `protocol` into the set.
    constexpr void insert(std::uint8_t protocol) { words[protocol >> 5] |= bit(protocol); }
    /// True when `protocol` is in the set.
    constexpr bool contains(std::uint8_t protocol) const { return (words[protocol >> 5] & bit(protocol)) != 0; }

private:
    static constexpr std::uint32_t bit(std::uint8_t protocol) { return std::uint32_t{1} << (protocol & 31); }

    std::array<std::uint32_t, 8> words{};
};

/// The protocols that the receive path recognises; 0x53 and 0xA1 are accepted and ignored.
inline constexpr Protocol_Bitmap protocol_bitmap{pdo_protocol, sdo_protocol, 0x53, 0xA1};

}  // namespace Quorin_Core::RT_Serial::Payload
