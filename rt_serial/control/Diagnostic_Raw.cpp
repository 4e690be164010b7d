#include "rt_serial/control/Diagnostic_Raw.hpp"

namespace Quorin_Core::RT_Serial::Control {

void Diagnostic_Raw::store(const Diagnostic_Snapshot& figures) {
    tx_frames.exchange(figures.tx_frames);
    rx_frames.exchange(figures.rx_frames);
    rx_frame_ok_rate.exchange(figures.rx_frame_ok_rate);
    rx_errors.exchange(figures.rx_errors);
    rx_error_rate.exchange(figures.rx_error_rate);
    rx_timeouts.exchange(figures.rx_timeouts);
    timeout_rate.exchange(figures.timeout_rate);
    tx_bits.exchange(figures.tx_bits);
    rx_bits.exchange(figures.rx_bits);
    unpack_ok_rate.exchange(figures.unpack_ok_rate);
    ok.exchange(figures.ok);
    header.exchange(figures.header);
    source_id.exchange(figures.source_id);
    destination_id.exchange(figures.destination_id);
    length.exchange(figures.length);
    crc.exchange(figures.crc);
    payload.exchange(figures.payload);
    rpdo_frequency.exchange(figures.rpdo_frequency);
    tpdo_frequency.exchange(figures.tpdo_frequency);
    tpdo_ok_rate.exchange(figures.tpdo_ok_rate);
    nrt_transfers.exchange(figures.nrt_transfers);
    nrt_ok_rate.exchange(figures.nrt_ok_rate);
}

Diagnostic_Snapshot Diagnostic_Raw::get_copy() const {
    Diagnostic_Snapshot figures;
    figures.tx_frames = tx_frames.load();
    figures.rx_frames = rx_frames.load();
    figures.rx_frame_ok_rate = rx_frame_ok_rate.load();
    figures.rx_errors = rx_errors.load();
    figures.rx_error_rate = rx_error_rate.load();
    figures.rx_timeouts = rx_timeouts.load();
    figures.timeout_rate = timeout_rate.load();
    figures.tx_bits = tx_bits.load();
    figures.rx_bits = rx_bits.load();
    figures.unpack_ok_rate = unpack_ok_rate.load();
    figures.ok = ok.load();
    figures.header = header.load();
    figures.source_id = source_id.load();
    figures.destination_id = destination_id.load();
    figures.length = length.load();
    figures.crc = crc.load();
    figures.payload = payload.load();
    figures.rpdo_frequency = rpdo_frequency.load();
    figures.tpdo_frequency = tpdo_frequency.load();
    figures.tpdo_ok_rate = tpdo_ok_rate.load();
    figures.nrt_transfers = nrt_transfers.load();
    figures.nrt_ok_rate = nrt_ok_rate.load();
    return figures;
}

}  // namespace Quorin_Core::RT_Serial::Control
