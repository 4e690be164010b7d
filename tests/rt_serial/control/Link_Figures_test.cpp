#include "rt_serial/control/Link_Figures.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace {

using namespace Quorin_Core::RT_Serial::Control;

// A second's figures as the diagnostics store and hand them out, in declaration order.
std::vector<float> figures_of(const std::array<std::uint32_t, 12>& counts, const Port_Deltas& port) {
    Link_Counters c;
    std::uint32_t* const fields[] = {&c.ok,      &c.header,  &c.source_id, &c.destination_id, &c.length,  &c.crc,
                                     &c.payload, &c.tpdo_rx, &c.sdo_rx,    &c.rpdo,           &c.tpdo_tx, &c.nrt_tx};
    for (std::size_t i = 0; i < counts.size(); ++i) *fields[i] = counts[i];
    Diagnostic_Raw raw;
    raw.store(link_figures(c, port));
    const Diagnostic_Snapshot f = raw.get_copy();
    return {f.tx_frames, f.rx_frames, f.rx_frame_ok_rate, f.rx_errors, f.rx_error_rate, f.rx_timeouts,
            f.timeout_rate, f.tx_bits, f.rx_bits, f.unpack_ok_rate, f.ok, f.header, f.source_id, f.destination_id,
            f.length, f.crc, f.payload, f.rpdo_frequency, f.tpdo_frequency, f.tpdo_ok_rate, f.nrt_transfers,
            f.nrt_ok_rate};
}

TEST(Link_Figures, counts_and_rates_clamped_to_one_with_bases_not_above_zero_giving_zero) {
    // counts: ok, header, source, destination, length, crc, payload, tpdo_rx, sdo_rx, rpdo, tpdo_tx, nrt_tx;
    // port: tx frames, rx frames, rx errors, rx time-outs, tx bytes, rx bytes.
    const struct {
        const char* what;
        std::array<std::uint32_t, 12> counts;
        Port_Deltas port;
        std::vector<float> figures;
    } rows[] = {
        {"idle: every base is 0", {}, {}, std::vector<float>(22, 0)},
        {"every figure differs; time-outs per frame sent less the RPDO frames",
         {40, 1, 2, 3, 4, 5, 6, 33, 4, 50, 45, 9}, {104, 60, 8, 11, 3000, 2000},
         {104, 60, 40.f / 60, 8, 8.f / 60, 11, 11.f / 54, 24000, 16000, 37.f / 40, 40,
          1, 2, 3, 4, 5, 6, 50, 45, 33.f / 45, 9, 4.f / 9}},
        {"parts above their bases are clamped; a base of 1 counts",
         {3, 0, 0, 0, 0, 0, 0, 11, 9, 10, 10, 4}, {11, 2, 5, 1, 1, 2},
         {11, 2, 1, 5, 1, 1, 1, 8, 16, 1, 3, 0, 0, 0, 0, 0, 0, 10, 10, 1, 4, 1}},
        {"more RPDO frames than frames sent: no time-out base",
         {0, 0, 0, 0, 0, 0, 0, 0, 0, 10, 0, 0}, {5, 0, 0, 3, 0, 0},
         {5, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 10, 0, 0, 0, 0}},
    };
    for (const auto& row : rows) EXPECT_EQ(figures_of(row.counts, row.port), row.figures) << row.what;
}

}  // namespace
