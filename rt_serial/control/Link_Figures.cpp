#include "rt_serial/control/Link_Figures.hpp"

#include <algorithm>

namespace Quorin_Core::RT_Serial::Control {
namespace {

float ratio(std::uint32_t part, std::int64_t whole) {
    return whole > 0 ? std::min(static_cast<float>(part) / static_cast<float>(whole), 1.0f) : 0.0f;
}

float count(std::uint32_t value) { return static_cast<float>(value); }

}  // namespace

Diagnostic_Snapshot link_figures(const Link_Counters& counters, const Port_Deltas& port) {
    const auto [tx_frames, rx_frames, rx_errors, rx_timeouts, tx_bytes, rx_bytes] = port;
    Diagnostic_Snapshot figures;
    figures.tx_frames = count(tx_frames);
    figures.rx_frames = count(rx_frames);
    figures.rx_frame_ok_rate = ratio(counters.ok, rx_frames);
    figures.rx_errors = count(rx_errors);
    figures.rx_error_rate = ratio(rx_errors, rx_frames);
    figures.rx_timeouts = count(rx_timeouts);
    figures.timeout_rate = ratio(rx_timeouts, static_cast<std::int64_t>(tx_frames) - counters.rpdo);
    figures.tx_bits = count(tx_bytes) * 8;
    figures.rx_bits = count(rx_bytes) * 8;
    figures.unpack_ok_rate = ratio(counters.tpdo_rx + counters.sdo_rx, counters.ok);
    figures.ok = count(counters.ok);
    figures.header = count(counters.header);
    figures.source_id = count(counters.source_id);
    figures.destination_id = count(counters.destination_id);
    figures.length = count(counters.length);
    figures.crc = count(counters.crc);
    figures.payload = count(counters.payload);
    figures.rpdo_frequency = count(counters.rpdo);
    figures.tpdo_frequency = count(counters.tpdo_tx);
    figures.tpdo_ok_rate = ratio(counters.tpdo_rx, counters.tpdo_tx);
    figures.nrt_transfers = count(counters.nrt_tx);
    figures.nrt_ok_rate = ratio(counters.sdo_rx, counters.nrt_tx);
    return figures;
}

}  // namespace Quorin_Core::RT_Serial::Control
