#include "rt_serial/datalink/receive_frame.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "rt_serial/datalink/Frame_Builder.hpp"
#include "rt_serial/datalink/Payload_Descriptor.hpp"
#include "rt_serial/datalink/Raw_Frame.hpp"

namespace {

using namespace Quorin_Core::RT_Serial::Datalink;
using Quorin_Core::RT_Serial::Payload::Payload_Descriptor;
using Bytes = std::vector<std::uint8_t>;
using R = Receive_Result;

struct Recording_Sink : Frame_Sink {
    void pdo_payload(const std::uint8_t* data, std::size_t size) override { pdo.emplace_back(data, data + size); }
    void sdo_message(const std::uint8_t* data, std::size_t size) override { sdo.emplace_back(data, data + size); }
    std::vector<Bytes> pdo, sdo;
};

void fix_crc(Bytes& frame) {
    const std::uint16_t crc = crc16_modbus(frame.data(), frame.size() - 2);
    frame[frame.size() - 2] = static_cast<std::uint8_t>(crc >> 8);
    frame[frame.size() - 1] = static_cast<std::uint8_t>(crc);
}

/// A device-to-server frame, held in a vector of exactly its size so that overreads are caught.
Bytes make_frame(std::uint8_t protocol, const Bytes& data, std::uint8_t flags = 0) {
    Bytes frame(1024);
    Payload_Descriptor descriptor{.data = data.data(), .size = data.size(), .protocol = protocol, .flags = flags};
    std::size_t payload_length = 0;
    EXPECT_EQ(descriptor.pack(frame.data() + 6, payload_length), PACK_OK);
    const std::size_t length = payload_length + 8;
    frame.resize(length);
    frame[0] = 0xAA, frame[1] = 0x55, frame[2] = 0xA0, frame[3] = 0x00;
    frame[4] = static_cast<std::uint8_t>((length / 16 - 1) << 2);
    fix_crc(frame);
    return frame;
}

class Receive_Frame : public ::testing::Test {
protected:
    R receive(const Bytes& frame, bool with_crc = true) {
        return receive_frame(frame.data(), frame.size(), from_device, to_host, with_crc, counters, sink);
    }

    const ID_Filter from_device = ID_Filter::allow_only(0xA0);
    const ID_Filter to_host = ID_Filter::allow_only(0x00);
    Receive_Counters counters;
    Recording_Sink sink;
};

TEST_F(Receive_Frame, checks_run_in_order_and_only_the_first_failure_counts) {
    using C = Receive_Counters;
    const std::vector<std::tuple<const char*, std::function<void(Bytes&)>, R, std::uint32_t C::*>> cases{
        {"24 bytes, bad magic", [](Bytes& f) { f.resize(24), f[0] = 0; }, R::LENGTH_ERROR, &C::length},
        {"no bytes", [](Bytes& f) { f.clear(); }, R::LENGTH_ERROR, &C::length},
        {"1040 bytes", [](Bytes& f) { f.resize(1040); }, R::LENGTH_ERROR, &C::length},
        {"bad magic and source", [](Bytes& f) { f[1] = 0x56, f[2] = 0; }, R::HEADER_ERROR, &C::header},
        {"bad source and destination", [](Bytes& f) { f[2] = 0xA1, f[3] = 1; }, R::SOURCE_ID_ERROR, &C::source_id},
        {"destination 0x01, bad crc", [](Bytes& f) { f[3] = 1; }, R::DESTINATION_ID_ERROR, &C::destination_id},
        {"length word says 32, bad crc", [](Bytes& f) { f[4] = 0x04; }, R::LENGTH_ERROR, &C::length},
        {"32 bytes, length word 16", [](Bytes& f) { f.resize(32), fix_crc(f); }, R::LENGTH_ERROR, &C::length},
        {"payload bit flipped", [](Bytes& f) { f[7] ^= 0x80; }, R::CRC_ERROR, &C::crc},
        {"good", [](Bytes&) {}, R::PDO, &C::ok},
    };
    for (const auto& [what, spoil, expected, counter] : cases) {
        Bytes frame = make_frame(0x11, {1, 2, 3});
        spoil(frame);
        counters.clear();
        EXPECT_EQ(receive(frame), expected) << what;
        Receive_Counters expected_counters;
        ++(expected_counters.*counter);
        expected_counters.tpdo_rx = expected == R::PDO;
        EXPECT_EQ(counters, expected_counters) << what;
    }
    EXPECT_EQ(sink.pdo.size(), 1u);
}

TEST_F(Receive_Frame, disabled_crc_accepts_any_crc_bytes_but_keeps_the_other_checks) {
    Bytes frame = make_frame(0x11, {1, 2, 3});
    frame[14] ^= 0x12;
    EXPECT_EQ(receive(frame, false), R::PDO);
    EXPECT_EQ(receive(frame, true), R::CRC_ERROR);
    frame[3] = 0x01;
    EXPECT_EQ(receive(frame, false), R::DESTINATION_ID_ERROR);
}

TEST_F(Receive_Frame, pdo_data_reaches_the_sink_with_its_padding) {
    EXPECT_EQ(receive(make_frame(0x11, {1, 2, 3, 4, 5, 6, 7, 8, 9})), R::PDO);  // 11 bytes pad to 24
    EXPECT_EQ(receive(make_frame(0x11, Bytes(1004, 0x77), 0xE0)), R::PDO);     // full, no padding
    ASSERT_EQ(sink.pdo.size(), 2u);
    EXPECT_EQ(sink.pdo[0], (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(sink.pdo[1], Bytes(1004, 0x77));
}

TEST_F(Receive_Frame, sdo_payload_is_split_and_counted_even_when_too_short) {
    const Bytes data{0x21, 0xA, 0xB, 0xC, 0x41, 0xA, 0xB, 0xC, 0xD, 0, 0, 0};
    EXPECT_EQ(receive(make_frame(0x21, data)), R::SDO);
    EXPECT_EQ(sink.sdo, (std::vector<Bytes>{{0x21, 0xA, 0xB, 0xC}, {0x41, 0xA, 0xB, 0xC, 0xD}}));
    const Bytes short_data = make_frame(0x21, {0x21, 0x01}, 0x20);  // 2 data bytes behind a timestamp
    ASSERT_EQ(short_data.size(), 16u);
    EXPECT_EQ(receive(short_data), R::SDO);
    EXPECT_EQ(sink.sdo.size(), 2u);
    EXPECT_EQ(counters.sdo_rx, 2u);
}

TEST_F(Receive_Frame, unknown_unhandled_and_overlong_descriptors_deliver_nothing) {
    EXPECT_EQ(receive(make_frame(0x12, {1, 2, 3, 4})), R::UNKNOWN_PROTOCOL);
    EXPECT_EQ(receive(make_frame(0x53, {0x21, 1, 2, 3})), R::OTHER_PROTOCOL);
    EXPECT_EQ(receive(make_frame(0xA1, {0x21, 1, 2, 3})), R::OTHER_PROTOCOL);
    // 16-byte frame: an 8-byte payload area, but extension and 8-byte timestamp need 12.
    for (const std::uint8_t protocol : {0x11, 0x21}) {
        Bytes frame = make_frame(protocol, {});
        frame[7] = 0xE0;
        fix_crc(frame);
        EXPECT_EQ(receive(frame), R::PAYLOAD_ERROR);
    }
    EXPECT_EQ(counters, (Receive_Counters{.ok = 5, .payload = 2}));
    EXPECT_TRUE(sink.pdo.empty() && sink.sdo.empty());
}

TEST_F(Receive_Frame, both_ends_of_the_link_build_and_check_with_the_same_code) {
    const Bytes message{0x21, 7, 8, 9};
    Bytes buffer(1024);
    std::size_t length = 0;
    Frame_Builder device(0xA0, 0x00, true);
    ASSERT_EQ(device.build(buffer.data(), 0x21, message.data(), message.size(), 0, length), PACK_OK);
    EXPECT_EQ(receive(Bytes(buffer.begin(), buffer.begin() + length)), R::SDO);

    Frame_Builder host(0x00, 0xA0, true);
    ASSERT_EQ(host.build(buffer.data(), 0x21, message.data(), message.size(), 256, length), PACK_OK);
    const Bytes request(buffer.begin(), buffer.begin() + length);
    EXPECT_EQ(receive(request), R::SOURCE_ID_ERROR);
    EXPECT_EQ(receive_frame(request.data(), request.size(), to_host, from_device, true, counters, sink), R::SDO);
    EXPECT_EQ(sink.sdo, (std::vector<Bytes>{message, message}));
}

}  // namespace
