#include "tools/devsim/Frame_Reassembler.hpp"

#include <gtest/gtest.h>

#include "Server_View.hpp"

namespace {

using namespace Devsim_Test;
using Quorin_Tools::Devsim::Frame_Reassembler;

/// Feeds `stream` in pieces of `piece` bytes and collects the frames, consuming each.
std::vector<Bytes> frames_of(const Bytes& stream, std::size_t piece, Frame_Reassembler& reassembler) {
    std::vector<Bytes> frames;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        reassembler.append(stream.data() + at, std::min(piece, stream.size() - at));
        for (auto frame = reassembler.next(); !frame.empty(); frame = reassembler.next()) {
            frames.emplace_back(frame.begin(), frame.end());
            reassembler.consume();
        }
    }
    return frames;
}

Bytes joined(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(Frame_Reassembler, frames_come_out_whole_however_the_stream_is_cut) {
    const Bytes small = server_frame(pdo, tpdo_request_data, full_quota);
    const Bytes large = server_frame(pdo, Bytes(1014, 0x5A), 0);
    const Bytes stream = joined({small, large, small});
    for (const std::size_t piece : std::vector<std::size_t>{1, 5, 17, 1023, stream.size()}) {
        Frame_Reassembler reassembler;
        const std::vector<Bytes> frames = frames_of(stream, piece, reassembler);
        ASSERT_EQ(frames.size(), 3u) << "pieces of " << piece;
        EXPECT_EQ(frames[0], small);
        EXPECT_EQ(frames[1], large);
        EXPECT_EQ(frames[2], small);
        EXPECT_EQ(reassembler.discarded_bytes(), 0u);
        EXPECT_FALSE(reassembler.holds_partial());
    }
}

TEST(Frame_Reassembler, bytes_before_the_magic_are_dropped_and_counted) {
    const Bytes frame = server_frame(pdo, {1, 2, 3}, 0);
    const std::vector<std::pair<const char*, Bytes>> cases{
        {"noise", {0x00, 0x13, 0x55, 0xFF}},
        {"0xAA 0xAA: the magic starts at the second", {0x01, 0xAA}},
        {"0x55 alone", {0x55}},
    };
    for (const auto& [what, noise] : cases) {
        for (const std::size_t piece : {std::size_t{1}, std::size_t{64}}) {
            Frame_Reassembler reassembler;
            const std::vector<Bytes> frames = frames_of(joined({noise, frame}), piece, reassembler);
            ASSERT_EQ(frames.size(), 1u) << what;
            EXPECT_EQ(frames[0], frame) << what;
            EXPECT_EQ(reassembler.discarded_bytes(), noise.size()) << what;
        }
    }
}

TEST(Frame_Reassembler, skipping_a_false_start_finds_the_frame_inside_it) {
    // A header announcing 32 bytes, then a real 16-byte frame and the rest of the 32.
    const Bytes false_start{0xAA, 0x55, 0x00, 0xA0, 0x04, 0x00};
    const Bytes frame = server_frame(pdo, tpdo_request_data, full_quota);
    Frame_Reassembler reassembler;
    const Bytes stream = joined({false_start, frame, Bytes(10, 0x00)});
    reassembler.append(stream.data(), stream.size());

    ASSERT_EQ(reassembler.next().size(), 32u);
    reassembler.skip();
    const auto found = reassembler.next();
    ASSERT_EQ(Bytes(found.begin(), found.end()), frame);
    reassembler.consume();
    EXPECT_EQ(reassembler.discarded_bytes(), false_start.size());
    EXPECT_TRUE(reassembler.next().empty());
    EXPECT_EQ(reassembler.discarded_bytes(), false_start.size() + 10);
}

TEST(Frame_Reassembler, a_long_stream_is_reassembled_without_loss) {
    Frame_Reassembler reassembler;
    Bytes stream;
    std::vector<Bytes> sent;
    for (std::uint8_t i = 0; i < 200; ++i) {
        sent.push_back(server_frame(pdo, Bytes(i, i), i));
        stream.insert(stream.end(), sent.back().begin(), sent.back().end());
    }
    EXPECT_EQ(frames_of(stream, 333, reassembler), sent);
}

}  // namespace
