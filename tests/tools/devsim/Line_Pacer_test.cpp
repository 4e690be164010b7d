#include "tools/devsim/Line_Pacer.hpp"

#include <gtest/gtest.h>

namespace {

using Quorin_Tools::Devsim::Line_Pacer;
using namespace std::chrono_literals;
using Clock = Line_Pacer::Clock;

const Clock::time_point t0 = Clock::time_point() + 1s;

TEST(Line_Pacer, a_byte_takes_ten_bit_times) {
    EXPECT_EQ(Line_Pacer(4'000'000).transfer_time(1024), 2560us);
    EXPECT_EQ(Line_Pacer(115'200).transfer_time(16), 1388888ns);
    EXPECT_EQ(Line_Pacer(0).transfer_time(1024), 0ns);
}

TEST(Line_Pacer, frames_on_the_receive_direction_follow_each_other) {
    Line_Pacer line(1'000'000);  // 10 µs a byte
    EXPECT_EQ(line.receive_done(t0, 16), t0 + 160us);
    EXPECT_EQ(line.receive_done(t0, 32), t0 + 480us);  // sent at once, carried after the first
    EXPECT_EQ(line.receive_done(t0 + 1ms, 16), t0 + 1160us);  // an idle line starts at once
    line.reset();
    EXPECT_EQ(line.receive_done(t0, 16), t0 + 160us);
}

TEST(Line_Pacer, paced_pieces_leave_as_the_line_carries_them) {
    Line_Pacer line(1'000'000);
    const std::size_t pieces[] = {10, 20, 30};
    EXPECT_EQ(line.send_times(t0, pieces, 1s), (std::vector{t0 + 100us, t0 + 300us, t0 + 600us}));
    const std::size_t next[] = {16};
    EXPECT_EQ(line.send_times(t0, next, 1s), std::vector{t0 + 760us});  // behind the last answer
    EXPECT_EQ(line.receive_done(t0, 16), t0 + 160us);  // the directions are independent
}

TEST(Line_Pacer, unpaced_pieces_leave_one_gap_apart) {
    Line_Pacer line(0);
    const std::size_t pieces[] = {10, 20, 30};
    EXPECT_EQ(line.send_times(t0, pieces, 5ms), (std::vector{t0, t0 + 5ms, t0 + 10ms}));
    const std::size_t next[] = {16};
    EXPECT_EQ(line.send_times(t0 + 1ms, next, 5ms), std::vector{t0 + 10ms});  // not before the last piece
    EXPECT_EQ(line.receive_done(t0, 1024), t0);
}

}  // namespace
