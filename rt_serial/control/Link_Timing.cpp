#include "rt_serial/control/Link_Timing.hpp"

namespace Quorin_Core::RT_Serial::Control {

std::uint64_t Link_Timing::link_rate_for(bool native_usb, std::uint64_t baud) {
    if (native_usb) return native_usb_link_rate;
    return static_cast<std::uint64_t>(serial_efficiency * static_cast<double>(baud));
}

Link_Timing Link_Timing::for_rate(std::uint64_t link_rate) {
    Link_Timing timing;
    timing.link_rate = link_rate;
    // A line that reports no rate would divide by zero; treat it as the slowest usable one.
    const float rate = link_rate == 0 ? 1.0f : static_cast<float>(link_rate);
    timing.us_per_16_bytes = 1.6e8f / rate;
    const float per_16_with_gap = timing.us_per_16_bytes + 2;
    timing.nrt_min_window_us = per_16_with_gap * 2 + 100;
    timing.nrt_full_window_us = per_16_with_gap * 128 + 500;
    timing.bytes_per_us = 16 / per_16_with_gap;
    timing.us_per_byte = per_16_with_gap / 16;
    return timing;
}

}  // namespace Quorin_Core::RT_Serial::Control
