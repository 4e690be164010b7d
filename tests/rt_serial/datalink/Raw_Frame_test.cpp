#include "rt_serial/datalink/Raw_Frame.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "rt_serial/datalink/Frame_Builder.hpp"
#include "rt_serial/datalink/rx_size_parser.hpp"

namespace {

using namespace Quorin_Core::RT_Serial::Datalink;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t untouched = 0xEE;

TEST(Raw_Frame, smallest_rpdo_frame_is_exact_with_and_without_crc) {
    for (const bool with_crc : {true, false}) {
        std::array<std::uint8_t, 32> buffer;
        buffer.fill(untouched);
        Frame_Builder builder(Raw_Frame::host_id, Raw_Frame::device_id, with_crc);
        std::size_t length = 0;
        ASSERT_EQ(builder.build(buffer.data(), 0x11, nullptr, 0, 0, length), PACK_OK);
        ASSERT_EQ(length, 16u);
        const std::uint8_t crc_high = with_crc ? 0x3C : 0, crc_low = with_crc ? 0x0F : 0;
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 17),
                  (Bytes{0xAA, 0x55, 0x00, 0xA0, 0x00, 0x00, 0x11, 0, 0, 0, 0, 0, 0, 0, crc_high, crc_low, untouched}));
    }
}

TEST(Raw_Frame, pack_refuses_bad_lengths_and_null_payload_without_writing) {
    std::array<std::uint8_t, 1040> payload{};
    for (const std::uint16_t length : {0, 8, 24, 1025, 1040}) {
        std::array<std::uint8_t, 1040> buffer;
        buffer.fill(untouched);
        Raw_Frame frame;
        frame.payload = payload.data();
        frame.length = length;
        EXPECT_EQ(frame.pack(buffer.data(), true), PACK_BAD_LENGTH) << length;
        frame.payload = nullptr;
        frame.length = 32;
        EXPECT_EQ(frame.pack(buffer.data(), true), PACK_NULL_POINTER);
        EXPECT_EQ(buffer[0], untouched);
    }
}

TEST(Raw_Frame, length_word_carries_the_length_code_and_the_masked_quota) {
    std::array<std::uint8_t, 1024> buffer{};
    for (const auto& [length, quota, word] : {std::tuple{1024, 0xFFFF, 0xFFFF}, {32, 256, 0x0500}}) {
        Raw_Frame frame;
        frame.payload = buffer.data() + 6;
        frame.length = static_cast<std::uint16_t>(length);
        frame.reply_quota = static_cast<std::uint16_t>(quota);
        ASSERT_EQ(frame.pack(buffer.data(), true), PACK_OK);
        EXPECT_EQ(buffer[4] << 8 | buffer[5], word);
    }
}

TEST(Raw_Frame, size_parser_reads_only_the_length_code_of_byte_4) {
    using Quorin_Core::RT_Serial::Control::rx_size_parser;
    for (const auto& [byte4, size] : {std::pair{0x00, 16u}, {0x03, 16u}, {0x04, 32u}, {0xFF, 1024u}}) {
        const std::array<std::uint8_t, 5> header{0xAA, 0x55, 0xA0, 0x00, static_cast<std::uint8_t>(byte4)};
        EXPECT_EQ(rx_size_parser(nullptr, header.data()), size);
    }
}

}  // namespace
