#include "rt_serial/datalink/SDO_Splitter.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using Quorin_Core::RT_Serial::Payload::SDO_Splitter;
using Bytes = std::vector<std::uint8_t>;
using Lengths = std::vector<std::size_t>;

/// Lengths of the messages found in `data`, held exactly so that a sanitizer sees overreads.
Lengths split(const Bytes& data) {
    Lengths lengths;
    std::size_t end = 0;
    SDO_Splitter::split(data.data(), data.size(), [&](const std::uint8_t* message, std::size_t length) {
        EXPECT_EQ(message, data.data() + end) << "messages lie end to end";
        end += length;
        lengths.push_back(length);
    });
    return lengths;
}

TEST(SDO_Splitter, every_base_code_with_0_1_and_2_extension_bytes) {
    for (const auto& [code, length] : {std::pair{0x21, 4u}, {0x23, 8u}, {0x33, 8u}, {0x35, 5u}, {0x37, 6u}, {0x39, 8u}, {0x3D, 12u}}) {
        for (unsigned e = 0; e <= 2; ++e) {
            Bytes data(20, 0);
            data[0] = static_cast<std::uint8_t>(code + 0x20 * e);
            EXPECT_EQ(split(data), Lengths{length + e}) << std::hex << int{data[0]};
        }
    }
}

TEST(SDO_Splitter, sequences_and_where_they_end) {
    Bytes longest{0x7B, 0, 0, 0, 0, 0, 255};
    longest.resize(262, 0x55);
    const std::vector<std::pair<Bytes, Lengths>> cases{
        {{0x21, 1, 2, 3, 0x41, 1, 2, 3, 4, 0, 0, 0}, {4, 5}},            // zero padding ends it
        {{0x3B, 0, 0, 0, 3, 0xA, 0xB, 0xC}, {8}},                        // length byte at offset 4
        {{0x5B, 0, 0, 0, 9, 2, 0xA, 0xB, 0x21, 1, 2, 3}, {8, 4}},        // ... at 5 with one extension
        {{0x7B, 0, 0, 0, 9, 9, 1, 0xA}, {8}},                            // ... at 6 with two
        {longest, {262}},
        {Bytes(longest.begin(), longest.end() - 1), {}},                 // one byte short
        {{0x21, 1, 2, 3, 0x3B, 0, 0, 0}, {4}},                           // length byte past the data
        {{0x21, 1, 2, 3, 0x5B, 0, 0, 0, 0}, {4}},
        {{0x21, 1, 2, 3, 0x7B, 0, 0, 0, 0, 0}, {4}},
        {{0x21, 1, 2, 3, 0x41, 0, 0, 0}, {4}},                           // offset + 5 > size
        {{0x21, 1, 2, 3, 0x41, 0, 0, 0, 0}, {4, 5}},
        {{0x21, 1, 2, 3, 0x61, 0, 0, 0, 0}, {4}},                        // offset + 6 > size
        {{0x21, 1, 2, 3, 0x61, 0, 0, 0, 0, 0}, {4, 6}},
        {{0x21, 1, 2, 3, 0x25, 1, 2, 3, 0x21, 1, 2, 3}, {4}},            // unknown base code
        {{0x21, 1, 2, 3, 0x22, 1, 2, 3, 0x21, 1, 2, 3}, {4}},            // bit 0 clear
        {{0x21, 1, 2, 3, 0x23, 1, 2, 3, 4, 5, 6}, {4}},                  // message longer than the rest
        {{0x81, 1, 2, 3, 0x21, 1, 2, 3}, {}},
        {{0x21, 1, 2}, {}},                                              // below 4 bytes
        {{0x21, 1, 2, 3}, {4}},
    };
    for (const auto& [data, lengths] : cases) EXPECT_EQ(split(data), lengths) << ::testing::PrintToString(data);
}

}  // namespace
