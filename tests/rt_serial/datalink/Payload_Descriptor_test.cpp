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

constexpr std::uint8_t untouched = 0xEE;

TEST(Payload_Descriptor, content_of_8_bytes_needs_no_padding_and_9_bytes_a_second_block) {
    const std::array<std::uint8_t, 7> data{1, 2, 3, 4, 5, 6, 7};
    for (const auto& [size, padded] : {std::pair{6u, 8u}, std::pair{7u, 24u}}) {
        std::array<std::uint8_t, 64> buffer;
        buffer.fill(untouched);
        Payload_Descriptor descriptor;
        descriptor.protocol = 0x11;
        descriptor.data = data.data();
        descriptor.size = size;
        std::size_t out_length = 0;
        ASSERT_EQ(descriptor.pack(buffer.data(), out_length), Datalink::PACK_OK);
        EXPECT_EQ(out_length, padded);
        for (std::size_t i = 2 + size; i < padded; ++i) EXPECT_EQ(buffer[i], 0) << i;
        EXPECT_EQ(buffer[padded], untouched);
    }
}

TEST(Payload_Descriptor, content_limit_is_1016_bytes) {
    std::vector<std::uint8_t> data(1015, 0x5A);
    std::array<std::uint8_t, 2048> buffer;
    buffer.fill(untouched);
    Payload_Descriptor descriptor;
    descriptor.flags = Payload_Descriptor::extension_flag;  // 4-byte header
    descriptor.data = data.data();
    descriptor.size = 1013;
    std::size_t out_length = 0;
    EXPECT_EQ(descriptor.pack(buffer.data(), out_length), Datalink::PACK_TOO_LONG);
    EXPECT_EQ(out_length, 4u);
    EXPECT_EQ(buffer[0], untouched);

    descriptor.size = 1012;
    ASSERT_EQ(descriptor.pack(buffer.data(), out_length), Datalink::PACK_OK);
    EXPECT_EQ(out_length, 1016u);

    // Through the frame builder: 1006 data bytes behind an 8-byte timestamp fill a 1024-byte frame.
    Datalink::Frame_Builder builder(0x00, 0xA0, true, 3);
    EXPECT_EQ(builder.max_data_size(), 1006u);
    std::size_t frame_length = 0;
    ASSERT_EQ(builder.build(buffer.data(), 0x11, data.data(), 1006, 0, frame_length), Datalink::PACK_OK);
    EXPECT_EQ(frame_length, 1024u);
    EXPECT_EQ(buffer[4] >> 2, 63);
    EXPECT_EQ(builder.build(buffer.data(), 0x11, data.data(), 1007, 0, frame_length), Datalink::PACK_TOO_LONG);
}

TEST(Payload_Descriptor, null_data_with_a_size_is_refused) {
    std::array<std::uint8_t, 32> buffer;
    buffer.fill(untouched);
    Payload_Descriptor descriptor;
    descriptor.size = 4;
    std::size_t out_length = 0;
    EXPECT_EQ(descriptor.pack(buffer.data(), out_length), Datalink::PACK_NULL_POINTER);
    EXPECT_EQ(buffer[0], untouched);
}

TEST(Payload_Descriptor, extension_and_timestamps_are_laid_out_and_read_back) {
    const std::array<std::uint8_t, 3> data{0xD1, 0xD2, 0xD3};
    const std::uint64_t stamp = 0x0102030405060708;
    for (std::uint8_t code = 0; code < 4; ++code) {
        Payload_Descriptor sent;
        sent.protocol = 0x21;
        sent.flags = static_cast<std::uint8_t>(Payload_Descriptor::extension_flag | Payload_Descriptor::flags_for(code) | 0x1F);
        sent.ext = {0xE1, 0xE2};
        sent.timestamp = stamp;
        sent.data = data.data();
        sent.size = data.size();
        std::array<std::uint8_t, 32> buffer{};
        std::size_t out_length = 0;
        ASSERT_EQ(sent.pack(buffer.data(), out_length), Datalink::PACK_OK);
        EXPECT_EQ(buffer[1] & 0x1F, 0) << "reserved flag bits go out as 0";
        EXPECT_EQ(buffer[2], 0xE1);
        EXPECT_EQ(buffer[4], code == 0 ? 0xD1 : 0x08) << "timestamp is little-endian";

        Payload_Descriptor got;
        ASSERT_TRUE(got.unpack(buffer.data(), out_length));
        const std::size_t stamp_bytes = Payload::Timestamp_Size_Table[code];
        EXPECT_EQ(got.timestamp, stamp_bytes == 8 ? stamp : stamp & ((std::uint64_t{1} << (8 * stamp_bytes)) - 1));
        EXPECT_EQ(got.ext, sent.ext);
        EXPECT_EQ(got.size, out_length - 4 - stamp_bytes) << "data runs to the end, padding included";
        EXPECT_EQ(std::vector<std::uint8_t>(got.data, got.data + 3), std::vector<std::uint8_t>(data.begin(), data.end()));
    }
}

TEST(Payload_Descriptor, header_longer_than_the_area_is_refused) {
    // The 8-byte payload area of a 16-byte frame, held exactly so that a sanitizer sees overreads.
    for (const auto& [flags, fits] : {std::pair<std::uint8_t, bool>{0xE0, false}, {0x60, false}, {0xA0, true}}) {
        const std::vector<std::uint8_t> area{0x11, flags, 0, 0, 0, 0, 0, 0};
        Payload_Descriptor got;
        EXPECT_EQ(got.unpack(area.data(), area.size()), fits) << int{flags};
        if (fits) EXPECT_EQ(got.size, 0u);
        else EXPECT_EQ(got.data, nullptr);
    }
    const std::vector<std::uint8_t> one{0x11};
    Payload_Descriptor got;
    EXPECT_FALSE(got.unpack(one.data(), one.size()));
}

TEST(Payload_Descriptor, clock_timestamps_follow_the_code) {
    using namespace std::chrono;
    const system_clock::time_point now{microseconds{0x123456789ABCLL}};
    EXPECT_EQ(Payload_Descriptor::clock_timestamp(0, now), 0u);
    EXPECT_EQ(Payload_Descriptor::clock_timestamp(1, now), static_cast<std::uint32_t>(0x123456789ABCLL / 1000));
    EXPECT_EQ(Payload_Descriptor::clock_timestamp(2, now), 0x56789ABCu);
    EXPECT_EQ(Payload_Descriptor::clock_timestamp(3, now), 0x123456789ABCu);
}

}  // namespace
