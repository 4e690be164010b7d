#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "rt_serial/datalink/Frame_Builder.hpp"
#include "rt_serial/datalink/Payload_Descriptor.hpp"
#include "rt_serial/datalink/SDO_Splitter.hpp"
#include "rt_serial/datalink/receive_frame.hpp"
#include "rt_serial/datalink/rx_size_parser.hpp"

// The link's frames built to the byte, the checks a received frame passes, and the SDO
// messages split out of its payload.
namespace {

using namespace Quorin_Core::RT_Serial;
using namespace Quorin_Core::RT_Serial::Datalink;
using Payload::Payload_Descriptor;
using Bytes = std::vector<std::uint8_t>;
using R = Receive_Result;

constexpr std::uint8_t untouched = 0xEE;

TEST(Raw_Frame, smallest_and_largest_frames_to_the_byte_and_the_lengths_refused) {
    std::array<std::uint8_t, 2048> buffer;
    std::size_t length = 0;
    for (const bool with_crc : {true, false}) {
        buffer.fill(untouched);
        ASSERT_EQ(Frame_Builder(0x00, 0xA0, with_crc).build(buffer.data(), 0x11, nullptr, 0, 0, length), PACK_OK);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length + 1),
                  (Bytes{0xAA, 0x55, 0x00, 0xA0, 0x00, 0x00, 0x11, 0, 0, 0, 0, 0, 0, 0,
                         std::uint8_t(with_crc ? 0x3C : 0), std::uint8_t(with_crc ? 0x0F : 0), untouched}));
    }
    Frame_Builder stamped(0x00, 0xA0, true, 3);  // 8-byte timestamp
    EXPECT_EQ((std::pair{stamped.max_data_size(), Frame_Builder(0x00, 0xA0, true).max_data_size()}),
              (std::pair<std::size_t, std::size_t>{1006, 1014}));
    ASSERT_EQ(stamped.build(buffer.data(), 0x11, buffer.data() + 100, 1006, 0, length), PACK_OK);
    EXPECT_EQ(length, 1024u);
    EXPECT_EQ(stamped.build(buffer.data(), 0x11, buffer.data(), 1007, 0, length), PACK_TOO_LONG);

    Raw_Frame frame;  // the length word: length code and reply quota, masked
    frame.payload = buffer.data() + 6;
    for (const auto& [size, quota, word] : {std::tuple{1024, 0xFFFF, 0xFFFF}, {32, 256, 0x0500}}) {
        frame.length = static_cast<std::uint16_t>(size), frame.reply_quota = static_cast<std::uint16_t>(quota);
        ASSERT_EQ(frame.pack(buffer.data(), true), PACK_OK);
        EXPECT_EQ(buffer[4] << 8 | buffer[5], word);
        EXPECT_EQ(Control::rx_size_parser(nullptr, buffer.data()), std::size_t(size));
    }
    buffer[4] = 0x03;  // the size parser reads the length code only
    EXPECT_EQ(Control::rx_size_parser(nullptr, buffer.data()), 16u);
    buffer.fill(untouched);
    for (const std::uint16_t bad : {0, 8, 24, 1025, 1040}) {
        frame.length = bad;
        EXPECT_EQ(frame.pack(buffer.data(), true), PACK_BAD_LENGTH) << bad;
    }
    frame.payload = nullptr, frame.length = 32;
    EXPECT_EQ(frame.pack(buffer.data(), true), PACK_NULL_POINTER);
    EXPECT_EQ(buffer[0], untouched);
}

TEST(Payload_Descriptor, padding_extension_and_little_endian_timestamps_laid_out_and_read_back) {
    const Bytes data(16, 0x5A);
    std::array<std::uint8_t, 64> buffer;
    std::size_t out_length = 0;
    const auto pack = [&](std::size_t size, const std::uint8_t* from) {
        buffer.fill(untouched);
        return Payload_Descriptor{.data = from, .size = size}.pack(buffer.data(), out_length);
    };
    ASSERT_EQ(pack(6, data.data()), PACK_OK);  // 8 bytes: a 16-byte frame
    EXPECT_EQ(out_length, 8u);
    ASSERT_EQ(pack(7, data.data()), PACK_OK);  // 9 bytes: a 32-byte frame
    Bytes expected{0x00, 0x00};                // protocol and flags, the data, the padding
    expected.resize(9, 0x5A), expected.resize(24, 0), expected.push_back(untouched);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + out_length + 1), expected);  // 24 bytes and the one behind
    EXPECT_EQ(pack(4, nullptr), PACK_NULL_POINTER);
    EXPECT_EQ(buffer[0], untouched);

    const std::chrono::system_clock::time_point now{std::chrono::microseconds{0x00123456789ABCDELL}};
    const std::uint64_t stamps[] = {0, 0x00123456789ABCDEULL / 1000 & 0xFFFFFFFF, 0x789ABCDE, 0x00123456789ABCDE};
    for (std::uint8_t code = 0; code < 4; ++code) {
        const auto flags = static_cast<std::uint8_t>(0x80 | Payload_Descriptor::flags_for(code) | 0x1F);
        const std::uint64_t stamp = Payload_Descriptor::clock_timestamp(code, now);
        EXPECT_EQ(stamp, stamps[code]);
        const Payload_Descriptor sent{stamp, data.data(), 3, 0x21, flags, {0xE1, 0xE2}};
        ASSERT_EQ(sent.pack(buffer.data(), out_length), PACK_OK);
        EXPECT_EQ((Bytes{buffer[1], buffer[2], buffer[3], buffer[4]}),
                  (Bytes{std::uint8_t(flags & 0xE0), 0xE1, 0xE2, std::uint8_t(code == 0 ? 0x5A : stamp)}));
        Payload_Descriptor got;
        ASSERT_TRUE(got.unpack(buffer.data(), out_length));
        EXPECT_EQ(got.timestamp, stamp);
        EXPECT_EQ(got.size, out_length - 4 - Payload::Timestamp_Size_Table[code]) << "data runs to the end";
        EXPECT_EQ(Bytes(got.data, got.data + 3), Bytes(3, 0x5A));
    }
}

TEST(ID_Filter, allow_list_passes_only_its_members_and_block_list_all_others) {
    const ID_Filter allow = ID_Filter::allow_only(0xA0);
    ID_Filter block(false);
    block.insert(0x00), block.insert(0xFF), block.insert(0x07), block.erase(0x07);
    for (unsigned id = 0; id < 256; ++id)
        EXPECT_EQ((std::pair{allow.is_available(std::uint8_t(id)), block.is_available(std::uint8_t(id))}),
                  (std::pair{id == 0xA0, id != 0x00 && id != 0xFF})) << id;
}

struct Recording_Sink : Frame_Sink {
    void pdo_payload(const std::uint8_t* d, std::size_t size) override { pdo.emplace_back(d, d + size); }
    void sdo_message(const std::uint8_t* d, std::size_t size) override { sdo.emplace_back(d, d + size); }
    std::vector<Bytes> pdo, sdo;
};

void fix_crc(Bytes& frame) {
    const std::uint16_t crc = crc16_modbus(frame.data(), frame.size() - 2);
    frame[frame.size() - 2] = std::uint8_t(crc >> 8), frame[frame.size() - 1] = std::uint8_t(crc);
}

/// A device's frame, with a timestamp of `code`, in a vector of exactly its size so that overreads are caught.
Bytes device_frame(std::uint8_t protocol, const Bytes& data, std::uint8_t code = 0) {
    Bytes frame(1024);
    std::size_t length = 0;
    EXPECT_EQ(Frame_Builder(0xA0, 0x00, true, code).build(frame.data(), protocol, data.data(), data.size(), 0, length),
              PACK_OK);
    frame.resize(length);
    return frame;
}

class Receive_Frame : public ::testing::Test {
protected:
    R receive(const Bytes& frame, bool with_crc = true) {
        return receive_frame(frame.data(), frame.size(), ID_Filter::allow_only(0xA0), ID_Filter::allow_only(0x00),
                             with_crc, counters, sink);
    }
    Receive_Counters counters;
    Recording_Sink sink;
};

TEST_F(Receive_Frame, checks_run_in_order_and_only_the_first_failure_counts) {
    using C = Receive_Counters;
    const std::vector<std::tuple<const char*, std::function<void(Bytes&)>, bool, R, std::uint32_t C::*>> cases{
        {"24 bytes, bad magic", [](Bytes& f) { f.resize(24), f[0] = 0; }, true, R::LENGTH_ERROR, &C::length},
        {"no bytes", [](Bytes& f) { f.clear(); }, true, R::LENGTH_ERROR, &C::length},
        {"1040 bytes", [](Bytes& f) { f.resize(1040); }, true, R::LENGTH_ERROR, &C::length},
        {"bad magic and source", [](Bytes& f) { f[1] = 0x56, f[2] = 0; }, true, R::HEADER_ERROR, &C::header},
        {"bad source, destination", [](Bytes& f) { f[2] = 0xA1, f[3] = 1; }, true, R::SOURCE_ID_ERROR, &C::source_id},
        {"destination 0x01, bad crc", [](Bytes& f) { f[3] = 1; }, true, R::DESTINATION_ID_ERROR, &C::destination_id},
        {"... without crc", [](Bytes& f) { f[3] = 1; }, false, R::DESTINATION_ID_ERROR, &C::destination_id},
        {"length word says 32, bad crc", [](Bytes& f) { f[4] = 0x04; }, true, R::LENGTH_ERROR, &C::length},
        {"32 bytes, length word 16", [](Bytes& f) { f.resize(32), fix_crc(f); }, true, R::LENGTH_ERROR, &C::length},
        {"payload bit flipped", [](Bytes& f) { f[7] ^= 0x80; }, true, R::CRC_ERROR, &C::crc},
        {"crc bytes spoiled, without crc", [](Bytes& f) { f[14] ^= 0x12; }, false, R::PDO, &C::ok},
        {"good", [](Bytes&) {}, true, R::PDO, &C::ok},
    };
    for (const auto& [what, spoil, with_crc, expected, counter] : cases) {
        Bytes frame = device_frame(0x11, {1, 2, 3});
        spoil(frame);
        counters.clear();
        EXPECT_EQ(receive(frame, with_crc), expected) << what;
        Receive_Counters want;
        ++(want.*counter), want.tpdo_rx = expected == R::PDO;
        EXPECT_EQ(counters, want) << what;
    }
    EXPECT_EQ(sink.pdo.size(), 2u);
}

TEST_F(Receive_Frame, payloads_reach_the_sink_by_protocol_with_their_padding_or_split_into_messages) {
    EXPECT_EQ(receive(device_frame(0x11, {1, 2, 3, 4, 5, 6, 7, 8, 9})), R::PDO);  // 11 bytes pad to 22
    EXPECT_EQ(receive(device_frame(0x11, Bytes(1006, 0x77), 3)), R::PDO);         // full, no padding
    EXPECT_EQ(sink.pdo, (std::vector<Bytes>{{1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                                            Bytes(1006, 0x77)}));
    EXPECT_EQ(receive(device_frame(0x21, {0x21, 0xA, 0xB, 0xC, 0x41, 0xA, 0xB, 0xC, 0xD, 0, 0, 0})), R::SDO);
    EXPECT_EQ(receive(device_frame(0x21, {0x21, 0x01}, 1)), R::SDO);  // 2 bytes behind a timestamp: no message
    EXPECT_EQ(sink.sdo, (std::vector<Bytes>{{0x21, 0xA, 0xB, 0xC}, {0x41, 0xA, 0xB, 0xC, 0xD}}));
    EXPECT_EQ(receive(device_frame(0x12, {1, 2, 3, 4})), R::UNKNOWN_PROTOCOL);
    EXPECT_EQ(receive(device_frame(0x53, {0x21, 1, 2, 3})), R::OTHER_PROTOCOL);
    EXPECT_EQ(receive(device_frame(0xA1, {0x21, 1, 2, 3})), R::OTHER_PROTOCOL);
    // 16-byte frames: an 8-byte payload area, but extension and 8-byte timestamp need 12.
    for (const std::uint8_t protocol : {0x11, 0x21}) {
        Bytes frame = device_frame(protocol, {});
        frame[7] = 0xE0, fix_crc(frame);
        EXPECT_EQ(receive(frame), R::PAYLOAD_ERROR);
    }
    EXPECT_EQ(counters, (Receive_Counters{.ok = 9, .payload = 2, .tpdo_rx = 2, .sdo_rx = 2}));
    EXPECT_EQ(sink.pdo.size() + sink.sdo.size(), 4u);
}

/// Lengths of the messages SDO_Splitter finds in `data`, held exactly so that a sanitizer sees overreads.
std::vector<std::size_t> split(const Bytes& data) {
    std::vector<std::size_t> lengths;
    Payload::SDO_Splitter::split(data.data(), data.size(),
                                 [&](const std::uint8_t*, std::size_t length) { lengths.push_back(length); });
    return lengths;
}

TEST(SDO_Splitter, every_base_code_with_0_1_and_2_extension_bytes_and_where_sequences_end) {
    for (const auto& [code, length] :
         {std::pair{0x21, 4u}, {0x23, 8u}, {0x33, 8u}, {0x35, 5u}, {0x37, 6u}, {0x39, 8u}, {0x3D, 12u}})
        for (unsigned e = 0; e <= 2; ++e) {
            Bytes data(20, 0);
            data[0] = static_cast<std::uint8_t>(code + 0x20 * e);
            EXPECT_EQ(split(data), std::vector<std::size_t>{length + e}) << std::hex << int{data[0]};
        }
    Bytes longest{0x7B, 0, 0, 0, 0, 0, 255};
    longest.resize(262, 0x55);
    const std::vector<std::pair<Bytes, std::vector<std::size_t>>> cases{
        {{0x21, 1, 2, 3, 0x41, 1, 2, 3, 4, 0, 0, 0}, {4, 5}},            // zero padding ends it
        {{0x3B, 0, 0, 0, 3, 0xA, 0xB, 0xC}, {8}},                        // length byte at offset 4
        {{0x5B, 0, 0, 0, 9, 2, 0xA, 0xB, 0x21, 1, 2, 3}, {8, 4}},        // ... at 5 with one extension
        {{0x7B, 0, 0, 0, 9, 9, 1, 0xA}, {8}},                            // ... at 6 with two
        {longest, {262}}, {Bytes(longest.begin(), longest.end() - 1), {}},  // and one byte short
        // length byte past the data
        {{0x21, 1, 2, 3, 0x3B, 0, 0, 0}, {4}}, {{0x21, 1, 2, 3, 0x7B, 0, 0, 0, 0, 0}, {4}},
        // offset + 5 > size, then offset + 6 > size, each with one byte more
        {{0x21, 1, 2, 3, 0x41, 0, 0, 0}, {4}}, {{0x21, 1, 2, 3, 0x41, 0, 0, 0, 0}, {4, 5}},
        {{0x21, 1, 2, 3, 0x61, 0, 0, 0, 0}, {4}}, {{0x21, 1, 2, 3, 0x61, 0, 0, 0, 0, 0}, {4, 6}},
        // unknown base code; bit 0 clear; message longer than the rest
        {{0x21, 1, 2, 3, 0x25, 1, 2, 3, 0x21, 1, 2, 3}, {4}}, {{0x21, 1, 2, 3, 0x22, 1, 2, 3, 0x21, 1, 2, 3}, {4}},
        {{0x21, 1, 2, 3, 0x23, 1, 2, 3, 4, 5, 6}, {4}}, {{0x81, 1, 2, 3, 0x21, 1, 2, 3}, {}},
        {{0x21, 1, 2}, {}}, {{0x21, 1, 2, 3}, {4}},  // below 4 bytes, and 4
    };
    for (const auto& [data, lengths] : cases) EXPECT_EQ(split(data), lengths) << ::testing::PrintToString(data);
}

}  // namespace
