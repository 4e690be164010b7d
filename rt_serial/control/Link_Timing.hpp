#pragma once

#include <cstdint>

namespace Quorin_Core::RT_Serial::Control {

/// The figures the NRT scheduler derives from a link's effective rate.
struct Link_Timing {
    /// Bit rate a native USB link is rated at.
    static constexpr std::uint64_t native_usb_link_rate = 480000000;
    /// Share of the nominal baud rate a serial line carries in practice.
    static constexpr double serial_efficiency = 0.85;

    /// The effective rate: the USB rating, or 85 % of the line's baud rate (truncated).
    static std::uint64_t link_rate_for(bool native_usb, std::uint64_t baud);
    /// The figures for an effective rate in bits per second.
    static Link_Timing for_rate(std::uint64_t link_rate);

    std::uint64_t link_rate = 0;
    float us_per_16_bytes = 0;     ///< 1.6e8 / link_rate
    float nrt_min_window_us = 0;   ///< smallest window an NRT exchange is started in
    float nrt_full_window_us = 0;  ///< window from which on the whole 2048-byte budget is given
    float bytes_per_us = 0;
    float us_per_byte = 0;
};

}  // namespace Quorin_Core::RT_Serial::Control
