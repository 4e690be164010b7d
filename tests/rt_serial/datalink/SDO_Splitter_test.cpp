#include "rt_serial/datalink/SDO_Splitter.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using Quorin_Core::RT_Serial::Payload::SDO_Splitter;
using Bytes = std::vector<std::uint8_t>;

/// Lengths of the messages found in `data` (held exactly, so overreads are caught).
std::vector<std::size_t> split(const Bytes& data) {
    std::vector<std::size_t> lengths;
    std::size_t end = 0;
    SDO_Splitter::split(data.data(), data.size(), [&](const std::uint8_t* message, std::size_t length) {
        EXPECT_EQ(message, data.data() + end) << "messages lie end to end";
        end += length;
        lengths.push_back(length);
    });
    return lengths;
}

using Lengths = std::vector<std::size_t>;

TEST(SDO_Splitter, messages_end_at_zero_padding) {
    const Bytes data{0x21, 1, 2, 3, 0x41, 1, 2, 3, 4, 0, 0, 0, 0, 0};
    EXPECT_EQ(split(data), (Lengths{4, 5}));
}

TEST(SDO_Splitter, every_base_code_with_0_1_and_2_extension_bytes) {
    const std::vector<std::pair<std::uint8_t, std::size_t>> base{
        {0x21, 4}, {0x23, 8}, {0x33, 8}, {0x35, 5}, {0x37, 6}, {0x39, 8}, {0x3D, 12}};
    for (const auto& [code, length] : base) {
        for (std::size_t e = 0; e <= 2; ++e) {
            Bytes data(20, 0);
            data[0] = static_cast<std::uint8_t>(code + 0x20 * e);
            EXPECT_EQ(split(data), Lengths{length + e}) << std::hex << int{data[0]};
        }
    }
}

TEST(SDO_Splitter, code_0x3B_reads_its_length_byte_after_the_extension_bytes) {
    EXPECT_EQ(split(Bytes{0x3B, 0, 0, 0, 3, 0xA, 0xB, 0xC}), Lengths{8});
    EXPECT_EQ(split(Bytes{0x5B, 0, 0, 0, 9, 2, 0xA, 0xB, 0x21, 1, 2, 3}), (Lengths{8, 4}));
    EXPECT_EQ(split(Bytes{0x7B, 0, 0, 0, 9, 9, 1, 0xA}), Lengths{8});
    Bytes longest{0x7B, 0, 0, 0, 0, 0, 255};
    longest.resize(262, 0x55);
    EXPECT_EQ(split(longest), Lengths{262});
    longest.pop_back();
    EXPECT_EQ(split(longest), Lengths{});
}

TEST(SDO_Splitter, length_byte_outside_the_data_ends_the_sequence) {
    // The length byte would be the first byte past the data for each extension count.
    EXPECT_EQ(split(Bytes{0x21, 1, 2, 3, 0x3B, 0, 0, 0}), Lengths{4});
    EXPECT_EQ(split(Bytes{0x21, 1, 2, 3, 0x5B, 0, 0, 0, 0}), Lengths{4});
    EXPECT_EQ(split(Bytes{0x21, 1, 2, 3, 0x7B, 0, 0, 0, 0, 0}), Lengths{4});
}

TEST(SDO_Splitter, extension_bytes_must_lie_inside_the_data) {
    EXPECT_EQ(split(Bytes{0x21, 1, 2, 3, 0x41, 0, 0, 0}), Lengths{4});     // offset 4 + 5 > 8
    EXPECT_EQ(split(Bytes{0x21, 1, 2, 3, 0x41, 0, 0, 0, 0}), (Lengths{4, 5}));
    EXPECT_EQ(split(Bytes{0x21, 1, 2, 3, 0x61, 0, 0, 0, 0}), Lengths{4});  // offset 4 + 6 > 9
    EXPECT_EQ(split(Bytes{0x21, 1, 2, 3, 0x61, 0, 0, 0, 0, 0}), (Lengths{4, 6}));
}

TEST(SDO_Splitter, sequence_ends_at_an_unknown_code_even_bit_or_overlong_message) {
    EXPECT_EQ(split(Bytes{0x21, 1, 2, 3, 0x25, 1, 2, 3, 0x21, 1, 2, 3}), Lengths{4});
    EXPECT_EQ(split(Bytes{0x21, 1, 2, 3, 0x22, 1, 2, 3, 0x21, 1, 2, 3}), Lengths{4});
    EXPECT_EQ(split(Bytes{0x21, 1, 2, 3, 0x23, 1, 2, 3, 4, 5, 6}), Lengths{4});
    EXPECT_EQ(split(Bytes{0x81, 1, 2, 3, 0x21, 1, 2, 3}), Lengths{});
}

TEST(SDO_Splitter, data_below_4_bytes_holds_no_message) {
    EXPECT_EQ(split(Bytes{0x21, 1, 2}), Lengths{});
    EXPECT_EQ(split(Bytes{}), Lengths{});
    EXPECT_EQ(split(Bytes{0x21, 1, 2, 3}), Lengths{4});
}

}  // namespace
