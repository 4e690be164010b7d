#include "rt_serial/datalink/Raw_Frame.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "rt_serial/datalink/Frame_Builder.hpp"
#include "rt_serial/datalink/rx_size_parser.hpp"

namespace {

using namespace Quorin_Core::RT_Serial::Datalink;

constexpr std::uint8_t untouched = 0xEE;

TEST(Raw_Frame, smallest_rpdo_frame_is_exact_with_and_without_crc) {
    const std::vector<std::uint8_t> expected_head{0xAA, 0x55, 0x00, 0xA0, 0x00, 0x00, 0x11, 0x00,
                                                  0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    for (const bool with_crc : {true, false}) {
        std::array<std::uint8_t, 2048> buffer;
        buffer.fill(untouched);
        Frame_Builder builder(Raw_Frame::host_id, Raw_Frame::device_id, with_crc);
        std::size_t length = 0;
        ASSERT_EQ(builder.build(buffer.data(), 0x11, nullptr, 0, 0, length), PACK_OK);
        ASSERT_EQ(length, 16u);
        EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + 14), expected_head);
        EXPECT_EQ(buffer[14], with_crc ? 0x3C : 0x00);
        EXPECT_EQ(buffer[15], with_crc ? 0x0F : 0x00);
        EXPECT_EQ(buffer[16], untouched);
    }
}

TEST(Raw_Frame, crc_engine_is_crc16_modbus) {
    const std::uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc16_modbus(check, sizeof check), 0x4B37);
}

TEST(Raw_Frame, pack_refuses_bad_lengths_and_null_payload_without_writing) {
    std::array<std::uint8_t, 2048> payload{};
    for (const unsigned length : {0u, 8u, 24u, 1040u, 1025u}) {
        std::array<std::uint8_t, 2048> buffer;
        buffer.fill(untouched);
        Raw_Frame frame;
        frame.payload = payload.data();
        frame.length = static_cast<std::uint16_t>(length);
        EXPECT_EQ(frame.pack(buffer.data(), true), PACK_BAD_LENGTH) << length;
        EXPECT_EQ(buffer[0], untouched);
    }
    std::array<std::uint8_t, 32> buffer;
    buffer.fill(untouched);
    Raw_Frame frame;
    frame.length = 32;
    EXPECT_EQ(frame.pack(buffer.data(), true), PACK_NULL_POINTER);
    EXPECT_EQ(buffer[0], untouched);
}

TEST(Raw_Frame, length_word_carries_length_code_and_masked_quota) {
    std::array<std::uint8_t, 1024> payload{};
    std::array<std::uint8_t, 1024> buffer{};
    Raw_Frame frame;
    frame.payload = payload.data();
    frame.length = 1024;
    frame.reply_quota = 0xFFFF;  // only the low 10 bits fit
    ASSERT_EQ(frame.pack(buffer.data(), true), PACK_OK);
    EXPECT_EQ(buffer[4], 0xFF);  // 63 << 2 | quota bits 9..8
    EXPECT_EQ(buffer[5], 0xFF);
    frame.length = 32;
    frame.reply_quota = 256;
    ASSERT_EQ(frame.pack(buffer.data(), true), PACK_OK);
    EXPECT_EQ(buffer[4], 0x05);
    EXPECT_EQ(buffer[5], 0x00);
}

TEST(Raw_Frame, payload_is_copied_unless_already_in_place_and_crc_is_high_byte_first) {
    std::array<std::uint8_t, 32> buffer{};
    std::array<std::uint8_t, 24> payload;
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i + 1);
    Raw_Frame frame;
    frame.payload = payload.data();
    frame.length = 32;
    ASSERT_EQ(frame.pack(buffer.data(), true), PACK_OK);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin() + 6, buffer.begin() + 30),
              std::vector<std::uint8_t>(payload.begin(), payload.end()));
    const std::uint16_t crc = crc16_modbus(buffer.data(), 30);
    EXPECT_EQ(buffer[30], crc >> 8);
    EXPECT_EQ(buffer[31], crc & 0xFF);

    frame.payload = buffer.data() + 6;  // in place: packing again must give the same frame
    const auto first = buffer;
    ASSERT_EQ(frame.pack(buffer.data(), true), PACK_OK);
    EXPECT_EQ(buffer, first);
}

TEST(Raw_Frame, size_parser_reads_the_length_code_of_byte_4) {
    std::array<std::uint8_t, 5> header{0xAA, 0x55, 0xA0, 0x00, 0x00};
    EXPECT_EQ(Quorin_Core::RT_Serial::Control::rx_size_parser(nullptr, header.data()), 16u);
    header[4] = 0x03;  // quota bits only
    EXPECT_EQ(Quorin_Core::RT_Serial::Control::rx_size_parser(nullptr, header.data()), 16u);
    header[4] = 0x04;
    EXPECT_EQ(Quorin_Core::RT_Serial::Control::rx_size_parser(nullptr, header.data()), 32u);
    header[4] = 0xFF;
    EXPECT_EQ(Quorin_Core::RT_Serial::Control::rx_size_parser(nullptr, header.data()), 1024u);
}

}  // namespace
