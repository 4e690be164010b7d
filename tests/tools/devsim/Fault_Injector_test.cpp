#include "tools/devsim/Fault_Injector.hpp"

#include <gtest/gtest.h>

#include "Server_View.hpp"
#include "rt_serial/datalink/CRC16_Modbus.hpp"

namespace {

using namespace Devsim_Test;
using namespace Quorin_Tools::Devsim;

/// An answer from the device, as Device_Model builds them.
Bytes device_frame(std::size_t data_size, bool with_crc = true) {
    using Quorin_Core::RT_Serial::Datalink::Raw_Frame;
    return Quorin_Test::build_frame(Raw_Frame::device_id, Raw_Frame::host_id, pdo, Bytes(data_size, 0x42), 0, with_crc);
}

/// The CRC a frame should carry: CRC16/Modbus, or zeros on a native USB line.
std::pair<std::uint8_t, std::uint8_t> expected_crc(const Bytes& frame, bool with_crc) {
    const std::uint16_t crc = with_crc ? Quorin_Core::RT_Serial::Datalink::crc16_modbus(frame.data(), frame.size() - 2) : 0;
    return {std::uint8_t(crc >> 8), std::uint8_t(crc)};
}

// The server tests that count bad answers by class rely on which answer gets which fault.
TEST(Fault_Injector, periods_count_answers_from_one_and_a_dropped_answer_gets_no_other_fault) {
    Counters counters;
    Fault_Injector injector(true, counters);
    const Bytes frame = device_frame(8);
    const Fault_Plan plan{.drop_every = 3, .corrupt_crc_every = 2, .stray_every = 3};
    std::string seen;
    for (int answer = 1; answer <= 7; ++answer) {
        Bytes wire;
        injector.apply(frame.data(), frame.size(), plan, wire);
        seen += wire.empty() ? 'D' : wire == frame ? '.' : 'C';
    }
    EXPECT_EQ(seen, ".CDC.D.");
    EXPECT_EQ(injector.answers(), 7u);
    EXPECT_EQ(counters.faults_dropped, 2u);
    EXPECT_EQ(counters.faults_crc, 2u);  // not on answer 6, which was dropped
    EXPECT_EQ(counters.faults_stray, 0u);
}

// A wrong source or length must reach the server's checks past the CRC, with or without one.
TEST(Fault_Injector, wrong_source_and_length_keep_a_matching_crc_and_the_shortest_frame_announces_more) {
    for (const bool with_crc : {true, false}) {
        Counters counters;
        Fault_Injector injector(with_crc, counters);
        Bytes wire;
        const Bytes frame = device_frame(30, with_crc);  // 48 bytes
        injector.apply(frame.data(), frame.size(), {.wrong_source_every = 1, .wrong_length_every = 1}, wire);
        EXPECT_EQ(wire[2], Fault_Injector::wrong_source_id);
        EXPECT_EQ(wire[4] >> 2, 1) << "48 bytes announce 32";
        EXPECT_EQ(std::pair(wire[46], wire[47]), expected_crc(wire, with_crc)) << with_crc;

        const Bytes shortest = device_frame(0, with_crc);
        injector.apply(shortest.data(), shortest.size(), {.wrong_length_every = 1}, wire);
        EXPECT_EQ(wire[4] >> 2, 1) << "16 bytes announce 32";
        EXPECT_EQ(wire[5], shortest[5]) << "the reply quota bits are untouched";
        EXPECT_EQ(std::pair(wire[14], wire[15]), expected_crc(wire, with_crc)) << with_crc;
    }
}

}  // namespace
