#include "tools/devsim/Fault_Injector.hpp"

#include "rt_serial/datalink/CRC16_Modbus.hpp"
#include "rt_serial/datalink/Raw_Frame.hpp"

namespace Quorin_Tools::Devsim {

using Quorin_Core::RT_Serial::Datalink::Raw_Frame;

namespace {

constexpr std::size_t source_offset = 2;
constexpr std::size_t length_word_offset = 4;
/// Bits of the length word's high byte that hold the length code (the rest is reply quota).
constexpr std::uint8_t length_code_mask = 0xFC;
constexpr unsigned length_code_shift = 2;

}  // namespace

void Fault_Injector::apply(const std::uint8_t* frame, std::size_t length, const Fault_Plan& plan,
                           std::vector<std::uint8_t>& wire) {
    wire.clear();
    const std::uint64_t answer = ++numbered;
    if (Fault_Plan::due(plan.drop_every, answer)) {
        ++counters.faults_dropped;
        return;
    }
    if (Fault_Plan::due(plan.stray_every, answer)) {
        wire.assign(stray_bytes.begin(), stray_bytes.end());
        ++counters.faults_stray;
    }
    const std::size_t at = wire.size();
    wire.insert(wire.end(), frame, frame + length);
    std::uint8_t* copy = wire.data() + at;

    if (Fault_Plan::due(plan.wrong_source_every, answer)) {
        copy[source_offset] = wrong_source_id;
        fix_crc(copy, length);
        ++counters.faults_source;
    }
    if (Fault_Plan::due(plan.wrong_length_every, answer)) {
        spoil_length(copy, length);
        ++counters.faults_length;
    }
    if (Fault_Plan::due(plan.oversize_length_every, answer)) {
        std::uint8_t& byte = copy[length_word_offset];
        byte = static_cast<std::uint8_t>(byte | length_code_mask);  // the largest frame, 1024 bytes
        fix_crc(copy, length);
        ++counters.faults_length;
    }
    if (Fault_Plan::due(plan.corrupt_crc_every, answer)) {
        copy[length - 2] = static_cast<std::uint8_t>(~copy[length - 2]);
        copy[length - 1] = static_cast<std::uint8_t>(~copy[length - 1]);
        ++counters.faults_crc;
    }
}

void Fault_Injector::spoil_length(std::uint8_t* frame, std::size_t length) const {
    const std::size_t code = length / Raw_Frame::length_unit_bytes - 1;
    const std::size_t wrong = code == 0 ? 1 : code - 1;  // 16 bytes less, or more for the shortest frame
    std::uint8_t& byte = frame[length_word_offset];
    byte = static_cast<std::uint8_t>((byte & ~length_code_mask) | (wrong << length_code_shift));
    fix_crc(frame, length);
}

void Fault_Injector::fix_crc(std::uint8_t* frame, std::size_t length) const {
    const std::uint16_t crc =
        with_crc ? Quorin_Core::RT_Serial::Datalink::crc16_modbus(frame, length - Raw_Frame::crc_bytes) : 0;
    frame[length - 2] = static_cast<std::uint8_t>(crc >> 8);
    frame[length - 1] = static_cast<std::uint8_t>(crc);
}

}  // namespace Quorin_Tools::Devsim
