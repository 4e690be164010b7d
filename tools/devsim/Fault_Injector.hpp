#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/devsim/Counters.hpp"
#include "tools/devsim/Fault_Plan.hpp"

namespace Quorin_Tools::Devsim {

/// Spoils answers on purpose, as a faulty device or line would, so that the server's receive
/// checks and recovery can be tested. It numbers the answers it is given (from 1) and applies
/// the faults the plan has due for each. Pure; not thread-safe.
class Fault_Injector {
public:
    /// Written before an answer by the stray-bytes fault: noise with a lone 0xAA at its end, so
    /// that a receiver must find the magic at the second of two 0xAA bytes.
    static constexpr std::array<std::uint8_t, 6> stray_bytes{0x00, 0xAA, 0x13, 0x55, 0xFF, 0xAA};
    /// Source identifier written by the wrong-source fault.
    static constexpr std::uint8_t wrong_source_id = 0xA1;

    /// An injector for answers sent with a CRC (`with_crc`) or with 0x00 0x00; counts into `counters`.
    Fault_Injector(bool with_crc, Counters& counters) : with_crc(with_crc), counters(counters) {}

    /// Puts into `wire` the bytes to send for the answer frame of `length` bytes at `frame`,
    /// spoilt as `plan` has due for it; `wire` is left empty when the answer is dropped.
    void apply(const std::uint8_t* frame, std::size_t length, const Fault_Plan& plan, std::vector<std::uint8_t>& wire);

    /// Answers numbered so far.
    std::uint64_t answers() const { return numbered; }

private:
    /// Makes the length word announce another frame length, CRC kept right for what is sent.
    void spoil_length(std::uint8_t* frame, std::size_t length) const;
    /// Writes the CRC the frame should carry (0x00 0x00 without CRC).
    void fix_crc(std::uint8_t* frame, std::size_t length) const;

    bool with_crc;
    Counters& counters;
    std::uint64_t numbered = 0;
};

}  // namespace Quorin_Tools::Devsim
