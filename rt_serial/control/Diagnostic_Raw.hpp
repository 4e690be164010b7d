#pragma once

#include <atomic>

namespace Quorin_Core::RT_Serial::Control {

/// One second's figures of a link, as plain numbers.
struct Diagnostic_Snapshot {
    float tx_frames = 0;
    float rx_frames = 0;
    float rx_frame_ok_rate = 0;
    float rx_errors = 0;
    float rx_error_rate = 0;
    float rx_timeouts = 0;
    float timeout_rate = 0;
    float tx_bits = 0;
    float rx_bits = 0;
    float unpack_ok_rate = 0;
    float ok = 0;
    float header = 0;
    float source_id = 0;
    float destination_id = 0;
    float length = 0;
    float crc = 0;
    float payload = 0;
    float rpdo_frequency = 0;
    float tpdo_frequency = 0;
    float tpdo_ok_rate = 0;
    float nrt_transfers = 0;
    float nrt_ok_rate = 0;
};

/// The per-second figures of a link, written once a second by the session thread and read
/// by command threads without a lock (a reader may see figures of two consecutive seconds).
/// Rates are fractions in [0, 1]; the rest are counts (or bits) per second.
class Diagnostic_Raw {
public:
    /// Stores every figure of `figures`.
    void store(const Diagnostic_Snapshot& figures);
    /// Sets every figure to 0.
    void clear() { store(Diagnostic_Snapshot{}); }
    /// A copy of the figures.
    Diagnostic_Snapshot get_copy() const;

private:
    std::atomic<float> tx_frames{0};
    std::atomic<float> rx_frames{0};
    std::atomic<float> rx_frame_ok_rate{0};
    std::atomic<float> rx_errors{0};
    std::atomic<float> rx_error_rate{0};
    std::atomic<float> rx_timeouts{0};
    std::atomic<float> timeout_rate{0};
    std::atomic<float> tx_bits{0};
    std::atomic<float> rx_bits{0};
    std::atomic<float> unpack_ok_rate{0};
    std::atomic<float> ok{0};
    std::atomic<float> header{0};
    std::atomic<float> source_id{0};
    std::atomic<float> destination_id{0};
    std::atomic<float> length{0};
    std::atomic<float> crc{0};
    std::atomic<float> payload{0};
    std::atomic<float> rpdo_frequency{0};
    std::atomic<float> tpdo_frequency{0};
    std::atomic<float> tpdo_ok_rate{0};
    std::atomic<float> nrt_transfers{0};
    std::atomic<float> nrt_ok_rate{0};
};

}  // namespace Quorin_Core::RT_Serial::Control
