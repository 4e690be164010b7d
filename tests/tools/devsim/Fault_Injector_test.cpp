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

bool crc_matches(const Bytes& frame) {
    const std::uint16_t crc = Quorin_Core::RT_Serial::Datalink::crc16_modbus(frame.data(), frame.size() - 2);
    return frame[frame.size() - 2] == (crc >> 8) && frame[frame.size() - 1] == (crc & 0xFF);
}

TEST(Fault_Injector, wrong_source_and_length_keep_a_matching_crc) {
    Counters counters;
    Fault_Injector injector(true, counters);
    Bytes wire;
    const Bytes frame = device_frame(30);  // 48 bytes
    injector.apply(frame.data(), frame.size(), {.wrong_source_every = 1, .wrong_length_every = 1}, wire);
    EXPECT_EQ(wire[2], Fault_Injector::wrong_source_id);
    EXPECT_EQ(wire[4] >> 2, 1);  // announces 32 bytes
    EXPECT_TRUE(crc_matches(wire));

    const Bytes shortest = device_frame(0);
    injector.apply(shortest.data(), shortest.size(), {.wrong_length_every = 1}, wire);
    EXPECT_EQ(wire[4] >> 2, 1);  // 16 bytes announce 32
    EXPECT_EQ(wire[5], shortest[5]);  // the reply quota bits are untouched
    EXPECT_TRUE(crc_matches(wire));
}

TEST(Fault_Injector, stray_bytes_precede_the_frame_and_drop_sends_nothing) {
    Counters counters;
    Fault_Injector injector(true, counters);
    const Bytes frame = device_frame(2);
    Bytes wire;
    injector.apply(frame.data(), frame.size(), {.stray_every = 1}, wire);
    const Bytes stray(Fault_Injector::stray_bytes.begin(), Fault_Injector::stray_bytes.end());
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 6), stray);
    EXPECT_EQ(Bytes(wire.begin() + 6, wire.end()), frame);

    injector.apply(frame.data(), frame.size(), {.drop_every = 1, .corrupt_crc_every = 1, .stray_every = 1}, wire);
    EXPECT_TRUE(wire.empty());
    EXPECT_EQ(counters.faults_dropped, 1u);
    EXPECT_EQ(counters.faults_crc, 0u);  // a dropped answer gets no other fault
    EXPECT_EQ(counters.faults_stray, 1u);
}

TEST(Fault_Injector, periods_count_answers_from_one) {
    Counters counters;
    Fault_Injector injector(true, counters);
    const Bytes frame = device_frame(8);
    const Fault_Plan plan{.drop_every = 3, .corrupt_crc_every = 2};
    std::string seen;
    for (int answer = 1; answer <= 7; ++answer) {
        Bytes wire;
        injector.apply(frame.data(), frame.size(), plan, wire);
        seen += wire.empty() ? 'D' : wire == frame ? '.' : 'C';
    }
    EXPECT_EQ(seen, ".CDC.D.");
    EXPECT_EQ(injector.answers(), 7u);
}

TEST(Fault_Injector, without_crc_a_spoilt_frame_still_carries_no_crc) {
    Counters counters;
    Fault_Injector injector(false, counters);
    const Bytes frame = device_frame(8, false);
    Bytes wire;
    injector.apply(frame.data(), frame.size(), {.wrong_source_every = 1}, wire);
    EXPECT_EQ(wire[wire.size() - 2], 0);
    EXPECT_EQ(wire[wire.size() - 1], 0);
}

}  // namespace
