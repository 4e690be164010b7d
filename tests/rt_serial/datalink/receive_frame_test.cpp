#include "rt_serial/datalink/receive_frame.hpp"

#include <gtest/gtest.h>

#include <array>
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

struct Recording_Sink : Frame_Sink {
    void pdo_payload(const std::uint8_t* data, std::size_t size) override { pdo.emplace_back(data, data + size); }
    void sdo_message(const std::uint8_t* data, std::size_t size) override { sdo.emplace_back(data, data + size); }
    std::vector<Bytes> pdo;
    std::vector<Bytes> sdo;
};

/// A device-to-server frame, held in a vector of exactly its size so overreads are caught.
Bytes make_frame(std::uint8_t protocol, const Bytes& data, std::uint8_t flags = 0) {
    Bytes buffer(2048);
    Payload_Descriptor descriptor;
    descriptor.protocol = protocol;
    descriptor.flags = flags;
    descriptor.data = data.data();
    descriptor.size = data.size();
    std::size_t payload_length = 0;
    EXPECT_EQ(descriptor.pack(buffer.data() + 6, payload_length), PACK_OK);
    Raw_Frame frame;
    frame.payload = buffer.data() + 6;
    frame.source_id = Raw_Frame::device_id;
    frame.destination_id = Raw_Frame::host_id;
    frame.length = static_cast<std::uint16_t>(payload_length + 8);
    EXPECT_EQ(frame.pack(buffer.data(), true), PACK_OK);
    buffer.resize(frame.length);
    return buffer;
}

void fix_crc(Bytes& frame) {
    const std::uint16_t crc = crc16_modbus(frame.data(), frame.size() - 2);
    frame[frame.size() - 2] = static_cast<std::uint8_t>(crc >> 8);
    frame[frame.size() - 1] = static_cast<std::uint8_t>(crc);
}

class Receive_Frame : public ::testing::Test {
protected:
    Receive_Result receive(const Bytes& frame, bool with_crc = true) {
        return receive_frame(frame.data(), frame.size(), source_filter, destination_filter, with_crc, counters, sink);
    }

    ID_Filter source_filter = ID_Filter::allow_only(Raw_Frame::device_id);
    ID_Filter destination_filter = ID_Filter::allow_only(Raw_Frame::host_id);
    Receive_Counters counters;
    Recording_Sink sink;
};

/// Counters as a list, for comparing all of them at once.
std::vector<std::uint32_t> all(const Receive_Counters& c) {
    return {c.ok, c.header, c.source_id, c.destination_id, c.length, c.crc, c.payload, c.tpdo_rx, c.sdo_rx};
}

TEST_F(Receive_Frame, checks_run_in_order_and_only_the_first_failure_counts) {
    const Bytes good = make_frame(0x11, {1, 2, 3});
    struct Case {
        const char* what;
        std::function<void(Bytes&)> spoil;
        Receive_Result expected;
        std::uint32_t Receive_Counters::*counter;
    };
    const std::vector<Case> cases{
        {"24 bytes, bad magic", [](Bytes& f) { f.resize(24); f[0] = 0; }, Receive_Result::LENGTH_ERROR, &Receive_Counters::length},
        {"no bytes", [](Bytes& f) { f.clear(); }, Receive_Result::LENGTH_ERROR, &Receive_Counters::length},
        {"1040 bytes", [](Bytes& f) { f.resize(1040); }, Receive_Result::LENGTH_ERROR, &Receive_Counters::length},
        {"bad magic and source", [](Bytes& f) { f[1] = 0x56; f[2] = 0; }, Receive_Result::HEADER_ERROR, &Receive_Counters::header},
        {"bad source and destination", [](Bytes& f) { f[2] = 0xA1; f[3] = 1; }, Receive_Result::SOURCE_ID_ERROR, &Receive_Counters::source_id},
        {"destination 0x01, bad crc", [](Bytes& f) { f[3] = 1; }, Receive_Result::DESTINATION_ID_ERROR, &Receive_Counters::destination_id},
        {"length word says 32, bad crc", [](Bytes& f) { f[4] = 0x04; }, Receive_Result::LENGTH_ERROR, &Receive_Counters::length},
        {"32 bytes, length word says 16", [](Bytes& f) { f.resize(32); fix_crc(f); }, Receive_Result::LENGTH_ERROR, &Receive_Counters::length},
        {"bad crc", [](Bytes& f) { f[f.size() - 1] ^= 1; }, Receive_Result::CRC_ERROR, &Receive_Counters::crc},
        {"payload bit flipped", [](Bytes& f) { f[7] ^= 0x80; }, Receive_Result::CRC_ERROR, &Receive_Counters::crc},
    };
    for (const Case& c : cases) {
        Bytes frame = good;
        c.spoil(frame);
        counters.clear();
        EXPECT_EQ(receive(frame), c.expected) << c.what;
        Receive_Counters expected;
        ++(expected.*c.counter);
        EXPECT_EQ(all(counters), all(expected)) << c.what;
    }
    EXPECT_TRUE(sink.pdo.empty());
}

TEST_F(Receive_Frame, disabled_crc_accepts_any_crc_bytes_but_keeps_the_other_checks) {
    Bytes frame = make_frame(0x11, {1, 2, 3});
    frame[14] = 0x12;
    frame[15] = 0x34;
    EXPECT_EQ(receive(frame, false), Receive_Result::PDO);
    EXPECT_EQ(receive(frame, true), Receive_Result::CRC_ERROR);
    frame[3] = 0x01;
    EXPECT_EQ(receive(frame, false), Receive_Result::DESTINATION_ID_ERROR);
    EXPECT_EQ(counters.ok, 1u);
}

TEST_F(Receive_Frame, pdo_data_reaches_the_sink_with_its_padding) {
    const Bytes data{1, 2, 3, 4, 5, 6, 7, 8, 9};  // 2 + 9 bytes pad to 24
    EXPECT_EQ(receive(make_frame(0x11, data)), Receive_Result::PDO);
    ASSERT_EQ(sink.pdo.size(), 1u);
    Bytes padded = data;
    padded.resize(22);
    EXPECT_EQ(sink.pdo[0], padded);

    // A full frame: extension bytes, an 8-byte timestamp and 1004 data bytes need no padding.
    EXPECT_EQ(receive(make_frame(0x11, Bytes(1004, 0x77), 0xE0)), Receive_Result::PDO);
    ASSERT_EQ(sink.pdo.size(), 2u);
    EXPECT_EQ(sink.pdo[1], Bytes(1004, 0x77));
    EXPECT_EQ(counters.tpdo_rx, 2u);
    EXPECT_EQ(counters.ok, 2u);
}

TEST_F(Receive_Frame, sdo_payload_is_split_into_messages) {
    const Bytes data{0x21, 0xA, 0xB, 0xC, 0x41, 0xA, 0xB, 0xC, 0xD, 0, 0, 0};
    EXPECT_EQ(receive(make_frame(0x21, data)), Receive_Result::SDO);
    ASSERT_EQ(sink.sdo.size(), 2u);
    EXPECT_EQ(sink.sdo[0], Bytes(data.begin(), data.begin() + 4));
    EXPECT_EQ(sink.sdo[1], Bytes(data.begin() + 4, data.begin() + 9));
    EXPECT_EQ(counters.sdo_rx, 1u);

    // Two data bytes behind a 4-byte timestamp: too short for a message, still an SDO frame.
    Bytes short_data = make_frame(0x21, {0x21, 0x01}, 0x20);
    ASSERT_EQ(short_data.size(), 16u);
    EXPECT_EQ(receive(short_data), Receive_Result::SDO);
    EXPECT_EQ(sink.sdo.size(), 2u);
    EXPECT_EQ(counters.sdo_rx, 2u);
}

TEST_F(Receive_Frame, unknown_and_unhandled_protocols_deliver_nothing) {
    EXPECT_EQ(receive(make_frame(0x12, {1, 2, 3, 4})), Receive_Result::UNKNOWN_PROTOCOL);
    EXPECT_EQ(receive(make_frame(0x53, {0x21, 1, 2, 3})), Receive_Result::OTHER_PROTOCOL);
    EXPECT_EQ(receive(make_frame(0xA1, {0x21, 1, 2, 3})), Receive_Result::OTHER_PROTOCOL);
    Receive_Counters expected;
    expected.ok = 3;
    EXPECT_EQ(all(counters), all(expected));
    EXPECT_TRUE(sink.pdo.empty());
    EXPECT_TRUE(sink.sdo.empty());
}

TEST_F(Receive_Frame, descriptor_header_longer_than_the_payload_area_drops_the_frame) {
    // 16-byte frame: 8-byte payload area, but extension + 8-byte timestamp need 12.
    for (const std::uint8_t protocol : {0x11, 0x21}) {
        Bytes frame = make_frame(protocol, {});
        frame[7] = 0xE0;
        fix_crc(frame);
        EXPECT_EQ(receive(frame), Receive_Result::PAYLOAD_ERROR);
    }
    Receive_Counters expected;
    expected.ok = 2;
    expected.payload = 2;
    EXPECT_EQ(all(counters), all(expected));
    EXPECT_TRUE(sink.pdo.empty());
}

TEST_F(Receive_Frame, the_device_side_builds_and_checks_with_the_same_code) {
    Frame_Builder device(Raw_Frame::device_id, Raw_Frame::host_id, true);
    Frame_Builder host(Raw_Frame::host_id, Raw_Frame::device_id, true);
    Bytes buffer(1024);
    const std::array<std::uint8_t, 4> message{0x21, 7, 8, 9};
    std::size_t length = 0;

    ASSERT_EQ(device.build(buffer.data(), 0x21, message.data(), message.size(), 0, length), PACK_OK);
    EXPECT_EQ(receive(Bytes(buffer.begin(), buffer.begin() + length)), Receive_Result::SDO);
    ASSERT_EQ(sink.sdo.size(), 1u);
    EXPECT_EQ(sink.sdo[0], Bytes(message.begin(), message.end()));

    ASSERT_EQ(host.build(buffer.data(), 0x21, message.data(), message.size(), 256, length), PACK_OK);
    const Bytes request(buffer.begin(), buffer.begin() + length);
    EXPECT_EQ(receive(request), Receive_Result::SOURCE_ID_ERROR);
    const ID_Filter from_host = ID_Filter::allow_only(Raw_Frame::host_id);
    const ID_Filter to_device = ID_Filter::allow_only(Raw_Frame::device_id);
    EXPECT_EQ(receive_frame(request.data(), request.size(), from_host, to_device, true, counters, sink),
              Receive_Result::SDO);
    EXPECT_EQ(sink.sdo.size(), 2u);
}

}  // namespace
