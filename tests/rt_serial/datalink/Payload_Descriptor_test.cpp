#include "rt_serial/datalink/Payload_Descriptor.hpp"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

#include "rt_serial/datalink/Frame_Builder.hpp"

namespace {

using namespace Quorin_Core::RT_Serial;
using Payload::Payload_Descriptor;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t untouched = 0xEE;

/// Packs `size` bytes of 0x5A behind a header announced by `flags`; returns the result.
int pack(std::uint8_t flags, std::size_t size, std::array<std::uint8_t, 2048>& buffer, std::size_t& out_length) {
    static const Bytes data(1024, 0x5A);
    buffer.fill(untouched);
    return Payload_Descriptor{.data = data.data(), .size = size, .flags = flags}.pack(buffer.data(), out_length);
}

TEST(Payload_Descriptor, padding_and_the_1016_byte_limit) {
    std::array<std::uint8_t, 2048> buffer;
    std::size_t out_length = 0;
    ASSERT_EQ(pack(0x00, 6, buffer, out_length), Datalink::PACK_OK);  // 8 bytes: 16-byte frame
    EXPECT_EQ(out_length, 8u);
    ASSERT_EQ(pack(0x00, 7, buffer, out_length), Datalink::PACK_OK);  // 9 bytes: 32-byte frame
    EXPECT_EQ(out_length, 24u);
    EXPECT_EQ(Bytes(buffer.begin() + 9, buffer.begin() + 24), Bytes(15, 0));
    EXPECT_EQ(buffer[24], untouched);
    ASSERT_EQ(pack(0x80, 1012, buffer, out_length), Datalink::PACK_OK);  // 1016 bytes: 1024-byte frame
    EXPECT_EQ(out_length, 1016u);
    EXPECT_EQ(pack(0x80, 1013, buffer, out_length), Datalink::PACK_TOO_LONG);
    EXPECT_EQ(out_length, 4u);
    EXPECT_EQ(buffer[0], untouched);
    Payload_Descriptor no_data{.size = 4};
    EXPECT_EQ(no_data.pack(buffer.data(), out_length), Datalink::PACK_NULL_POINTER);
    EXPECT_EQ(buffer[0], untouched);

    Datalink::Frame_Builder builder(0x00, 0xA0, true, 3);  // 8-byte timestamp, no extension
    std::size_t frame_length = 0;
    ASSERT_EQ(builder.build(buffer.data(), 0x11, buffer.data() + 100, 1006, 0, frame_length), Datalink::PACK_OK);
    EXPECT_EQ(frame_length, 1024u);
    EXPECT_EQ(buffer[4] >> 2, 63);
    EXPECT_EQ(builder.build(buffer.data(), 0x11, buffer.data(), 1007, 0, frame_length), Datalink::PACK_TOO_LONG);
}

TEST(Payload_Descriptor, extension_and_little_endian_timestamps_are_laid_out_and_read_back) {
    for (std::uint8_t code = 0; code < 4; ++code) {
        const Bytes data{0xD1, 0xD2, 0xD3};
        const auto flags = static_cast<std::uint8_t>(0x80 | Payload_Descriptor::flags_for(code) | 0x1F);
        const Payload_Descriptor sent{0x0102030405060708, data.data(), data.size(), 0x21, flags, {0xE1, 0xE2}};
        std::array<std::uint8_t, 32> buffer{};
        std::size_t out_length = 0;
        ASSERT_EQ(sent.pack(buffer.data(), out_length), Datalink::PACK_OK);
        EXPECT_EQ(buffer[1] & 0x1F, 0) << "reserved flag bits go out as 0";
        EXPECT_EQ((Bytes{buffer[2], buffer[3], buffer[4]}), (Bytes{0xE1, 0xE2, code == 0 ? std::uint8_t{0xD1} : std::uint8_t{0x08}}));

        Payload_Descriptor got;
        ASSERT_TRUE(got.unpack(buffer.data(), out_length));
        const unsigned stamp_bits = 8 * Payload::Timestamp_Size_Table[code];
        EXPECT_EQ(got.timestamp, stamp_bits == 64 ? sent.timestamp : sent.timestamp & ((1ull << stamp_bits) - 1));
        EXPECT_EQ(got.size, out_length - 4 - stamp_bits / 8) << "data runs to the end, padding included";
        EXPECT_EQ(Bytes(got.data, got.data + 3), data);
    }
}

TEST(Payload_Descriptor, clock_timestamps_follow_the_code) {
    const std::chrono::system_clock::time_point now{std::chrono::microseconds{0x123456789ABCLL}};
    EXPECT_EQ(Payload_Descriptor::clock_timestamp(0, now), 0u);
    EXPECT_EQ(Payload_Descriptor::clock_timestamp(1, now), static_cast<std::uint32_t>(0x123456789ABCLL / 1000));
    EXPECT_EQ(Payload_Descriptor::clock_timestamp(2, now), 0x56789ABCu);
    EXPECT_EQ(Payload_Descriptor::clock_timestamp(3, now), 0x123456789ABCu);
}

}  // namespace
