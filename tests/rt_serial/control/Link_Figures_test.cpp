#include "rt_serial/control/Link_Figures.hpp"

#include <gtest/gtest.h>

#include "rt_serial/control/Link_Timing.hpp"

namespace {

using namespace Quorin_Core::RT_Serial::Control;

TEST(Link_Figures, an_idle_second_gives_zero_everywhere) {
    const auto figures = link_figures(Link_Counters{}, Port_Deltas{});
    EXPECT_EQ(figures.rx_frame_ok_rate, 0.0f);
    EXPECT_EQ(figures.rx_error_rate, 0.0f);
    EXPECT_EQ(figures.timeout_rate, 0.0f);
    EXPECT_EQ(figures.unpack_ok_rate, 0.0f);
    EXPECT_EQ(figures.tpdo_ok_rate, 0.0f);
    EXPECT_EQ(figures.nrt_ok_rate, 0.0f);
    EXPECT_EQ(figures.tx_bits, 0.0f);
}

TEST(Link_Figures, a_second_of_pdo_traffic_with_lost_answers) {
    // 100 RPDO frames and 100 TPDO requests sent; 98 answers came, 2 timed out.
    Link_Counters counters;
    counters.rpdo = 100;
    counters.tpdo_tx = 100;
    counters.tpdo_rx = 98;
    counters.ok = 98;
    const Port_Deltas port{200, 98, 0, 2, 200 * 32, 98 * 48};
    const auto figures = link_figures(counters, port);
    EXPECT_EQ(figures.rpdo_frequency, 100.0f);
    EXPECT_EQ(figures.tpdo_frequency, 100.0f);
    EXPECT_FLOAT_EQ(figures.tpdo_ok_rate, 0.98f);
    EXPECT_FLOAT_EQ(figures.timeout_rate, 0.02f);  // base: 200 sent less 100 RPDO
    EXPECT_FLOAT_EQ(figures.rx_frame_ok_rate, 1.0f);
    EXPECT_FLOAT_EQ(figures.unpack_ok_rate, 1.0f);
    EXPECT_EQ(figures.tx_bits, 200.0f * 32 * 8);
    EXPECT_EQ(figures.rx_bits, 98.0f * 48 * 8);
}

TEST(Link_Figures, rates_are_clamped_at_one_and_bases_below_one_give_zero) {
    Link_Counters counters;
    counters.tpdo_tx = 10;
    counters.tpdo_rx = 11;  // an answer of the previous second arrived after the tick
    counters.nrt_tx = 4;
    counters.sdo_rx = 9;
    counters.rpdo = 10;
    counters.ok = 3;
    const Port_Deltas port{10, 2, 5, 3, 0, 0};  // only RPDO frames sent: no base for time-outs
    const auto figures = link_figures(counters, port);
    EXPECT_EQ(figures.tpdo_ok_rate, 1.0f);
    EXPECT_EQ(figures.nrt_ok_rate, 1.0f);
    EXPECT_EQ(figures.rx_frame_ok_rate, 1.0f);
    EXPECT_EQ(figures.rx_error_rate, 1.0f);
    EXPECT_EQ(figures.unpack_ok_rate, 1.0f);
    EXPECT_EQ(figures.timeout_rate, 0.0f);
}

TEST(Link_Timing, native_usb_and_serial_figures) {
    const auto native = Link_Timing::for_rate(Link_Timing::link_rate_for(true, 9600));
    EXPECT_EQ(native.link_rate, 480000000u);
    EXPECT_NEAR(native.us_per_16_bytes, 1.0 / 3, 1e-4);
    EXPECT_NEAR(native.nrt_min_window_us, 104.667, 1e-3);
    EXPECT_NEAR(native.nrt_full_window_us, 798.667, 1e-3);
    EXPECT_NEAR(native.bytes_per_us, 6.857, 1e-3);
    EXPECT_NEAR(native.us_per_byte, 0.14583, 1e-5);
    EXPECT_EQ(Link_Timing::link_rate_for(false, 4000000), 3400000u);
    EXPECT_EQ(Link_Timing::link_rate_for(false, 115201), 97920u);  // truncated
}

}  // namespace
