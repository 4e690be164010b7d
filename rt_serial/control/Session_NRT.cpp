#include "rt_serial/control/Session.hpp"

#include <algorithm>

#include "rt_serial/datalink/Payload_Descriptor.hpp"
#include "rt_serial/datalink/Protocol_Bitmap.hpp"
#include "rt_serial/datalink/SDO_Splitter.hpp"
#include "rt_serial/datalink/Timestamp_Size_Table.hpp"
#include "utility/Logger.hpp"

// The NRT scheduler: SDO requests from the transmit queue in the time between PDO events.
namespace Quorin_Core::RT_Serial::Control {
namespace {

using namespace std::chrono;

constexpr std::uint64_t nrt_window_bytes = 2048;       // budget of one window between PDO events
constexpr std::uint64_t nrt_idle_budget_bytes = 4096;  // budget while PDO is disabled
constexpr std::uint64_t max_frame_bytes = 1024;
constexpr std::uint64_t nrt_frame_overhead_bytes = 10;  // frame header 6, descriptor 2, CRC 2
constexpr float nrt_window_margin_us = 100;
constexpr std::uint64_t reply_timeout_margin_us = 500;
constexpr auto nrt_safety_interval = milliseconds(100);

}  // namespace

// A step runs when something may have changed: a request came in (the queue's wake-up), a
// transfer or a PDO event ended (the port's completions), or PDO was switched off. Nothing
// polls; see nrt_safety_wait for the one wait that is left.
void Session::nrt_start_transfer() {
    // An answer that came after its exchange's time-out waits for no later exchange.
    if (!port->rx_busy()) port->receive_pending(&pending_rx_config);
    nrt_budget = nrt_window_budget();
    if (nrt_budget != 0 && (!nrt_pending || nrt_send_prepared())) {
        nrt_prepare_frame();
        // A frame is cut to this window's budget, so it fits now; the next step may fall in
        // a smaller window. Once it is on its way, the next frame is made to wait behind it.
        if (nrt_pending && nrt_send_prepared()) nrt_prepare_frame();
    }
    if (!port->tx_busy() && !port->rx_busy()) {
        start_idle_receive();
        if (!idle_receive_running && nrt_pending) nrt_safety_wait();
    }
}

void Session::nrt_safety_wait() {
    // A prepared frame with no transfer running and, with PDO on, no PDO event left to step
    // the scheduler: a port whose transfer would not start. The slow look keeps it from
    // waiting for ever; nothing else arms this timer.
    nrt_timer.expires_after(nrt_safety_interval);
    nrt_timer.async_wait([this](const boost::system::error_code& error) {
        if (error == boost::asio::error::operation_aborted) return;
        if (error) {
            QUORIN_LOG_ERROR("NRT timer error on [", port_name, "]:", error.message());
            return;
        }
        nrt_start_transfer();
    });
}

void Session::start_idle_receive() {
    // With PDO on, each TPDO request takes in first whatever came late.
    if (pdo_enabled || idle_receive_running || port->rx_busy()) return;
    idle_receive_running = port->start_transfer(nullptr, &idle_rx_config) == 0;
}

void Session::stop_port_transfer() {
    port->stop_transfer();
    idle_receive_running = false;
}

std::uint64_t Session::nrt_window_budget() const {
    if (!pdo_enabled) return nrt_idle_budget_bytes;
    if (tpdo_request_due) return 0;
    const auto left = duration_cast<microseconds>(next_sync - Clock::now()).count();
    const float remaining_us = left > 0 ? static_cast<float>(left) : 0.0f;
    if (remaining_us < link.nrt_min_window_us) return 0;
    if (remaining_us >= link.nrt_full_window_us) return nrt_window_bytes;
    const float bytes = (remaining_us - nrt_window_margin_us) * link.bytes_per_us;
    return bytes > static_cast<float>(nrt_window_bytes) ? nrt_window_bytes : static_cast<std::uint64_t>(bytes);
}

bool Session::nrt_send_prepared() {
    if (idle_receive_running && !port->tx_busy()) stop_port_transfer();
    if (port->tx_busy() || port->rx_busy()) return false;
    if (!nrt_fit_allowance()) {
        if (half_period_budget() >= nrt_tx_length + min_nrt_frame_bytes()) return false;  // a later window
        // No window of this period can ever carry it; keep the queue moving.
        QUORIN_LOG(WARN, "Discarded NRT frame of ", nrt_tx_length, " bytes on [", port_name,
                   "]: larger than any window of the PDO period");
        discard_prepared_frame();
        return true;
    }
    const std::uint64_t exchange_bytes = nrt_tx_length + nrt_rx_allowance;
    nrt_tx_config.size = static_cast<std::uint16_t>(nrt_tx_length);
    nrt_rx_config.timeout_us = static_cast<std::uint64_t>(static_cast<float>(exchange_bytes) * link.us_per_byte) +
                               reply_timeout_margin_us;
    if (port->start_transfer(&nrt_tx_config, &nrt_rx_config) != 0) return false;
    nrt_budget -= exchange_bytes;
    ++counters.nrt_tx;
    nrt_pending = false;
    return true;
}

bool Session::nrt_fit_allowance() {
    if (nrt_budget >= nrt_tx_length + nrt_rx_allowance) return true;
    // A window smaller than the one the frame was made for still carries it with a smaller
    // answer allowance: the device keeps back the answers that do not fit for the next frame.
    if (nrt_budget < nrt_tx_length + min_nrt_frame_bytes()) return false;
    return nrt_pack(std::min(nrt_budget - nrt_tx_length, max_frame_bytes));
}

std::uint64_t Session::half_period_budget() const {
    const float half_period_us = static_cast<float>(period_ns.load() / 2000);
    if (half_period_us < link.nrt_min_window_us) return 16;
    if (half_period_us >= link.nrt_full_window_us) return nrt_window_bytes;
    const auto bytes = static_cast<std::uint64_t>((half_period_us - nrt_window_margin_us) * link.bytes_per_us);
    return std::min(std::max<std::uint64_t>(16, bytes), nrt_window_bytes);
}

std::uint64_t Session::min_nrt_frame_bytes() const {
    return (Payload::Timestamp_Size_Table[timestamp_code] + 29) / 16 * 16;
}

std::uint64_t Session::nrt_overhead_bytes() const {
    return Payload::Timestamp_Size_Table[timestamp_code] + nrt_frame_overhead_bytes;
}

std::uint64_t Session::frame_cap_for(std::uint64_t budget) const {
    // Frame lengths are multiples of 16: a cap between two of them would let the padded frame
    // outgrow half the budget, and leave the answer less room than the request it echoes.
    const std::uint64_t half_budget = budget / 2 / 16 * 16;
    return std::min(std::max(half_budget, min_nrt_frame_bytes()), max_frame_bytes);
}

void Session::nrt_prepare_frame() {
    const std::uint64_t min_frame = min_nrt_frame_bytes();
    const std::uint64_t byte_cap = frame_cap_for(nrt_budget) - nrt_overhead_bytes();
    largest_byte_cap = std::max(largest_byte_cap, byte_cap);
    const std::uint64_t taken = nrt_take_requests(byte_cap);
    // A request that no window carries would wait for ever; steady traffic beside it must not
    // hide it either, hence the look every few periods.
    if (taken == 0 || uncarriable_check_due) {
        uncarriable_check_due = false;
        drop_uncarriable_requests();
    }
    if (taken == 0) return;
    nrt_data_size = taken;

    const std::uint64_t header = Payload::Payload_Descriptor::header_size(static_cast<std::uint8_t>(timestamp_code << 5));
    const std::uint64_t frame_length = Payload::Payload_Descriptor::padded_length(header + taken) + 8;
    // A budget below the frame's length leaves the answer the smallest frame: granting it the
    // full 1024 bytes would make the exchange too large for any window, and the frame with its
    // messages would be discarded.
    const std::uint64_t room = nrt_budget > frame_length ? nrt_budget - frame_length : 0;
    nrt_pending = nrt_pack(std::max(std::min(room, max_frame_bytes), min_frame));
}

std::uint64_t Session::nrt_take_requests(std::uint64_t byte_cap) {
    auto& queue = tx_entities->queue;
    std::uint8_t* data = tx_entities->frame_b.data() + frame_builder.data_offset();
    std::uint64_t taken = queue.dequeue(byte_cap, data);
    // The device reads a whole request to the end of the frame: nothing may follow it.
    if (taken == 0 || data[0] == Protocol::SDO::Queue::whole_request_header) return taken;
    while (taken < byte_cap) {
        const auto got = queue.dequeue_packable(byte_cap - taken, data + taken);
        if (got == 0) break;
        taken += got;
    }
    return taken;
}

std::uint64_t Session::max_carried_request_bytes() const {
    // Until the cycle has shown its windows, only what even the largest window in theory
    // cannot carry is known to be stuck.
    if (periods_at_setting < settle_periods) return frame_cap_for(half_period_budget()) - nrt_overhead_bytes();
    return largest_byte_cap;
}

void Session::drop_uncarriable_requests() {
    if (!pdo_enabled) return;  // a frame of the whole 1024 bytes carries any request then
    const std::uint64_t most = max_carried_request_bytes();
    const auto dropped = tx_entities->queue.withdraw_if(
        [most](const std::uint8_t*, std::uint64_t size) { return size > most; },
        [this](const std::uint8_t* message, std::uint64_t size) { discard_request(message, size); });
    if (dropped == 0 || uncarriable_logged) return;
    uncarriable_logged = true;
    QUORIN_LOG(WARN, "Dropped ", dropped, " sdo requests on [", port_name, "]: larger than any NRT window of the ",
               "PDO period (", most, " bytes at most)");
}

void Session::discard_prepared_frame() {
    if (!nrt_pending) return;
    nrt_pending = false;
    const std::uint8_t* data = tx_entities->frame_b.data() + frame_builder.data_offset();
    if (nrt_data_size != 0 && data[0] == Protocol::SDO::Queue::whole_request_header) {
        discard_request(data, nrt_data_size);
        return;
    }
    Payload::SDO_Splitter::split(data, nrt_data_size,
                                 [this](const std::uint8_t* message, std::size_t size) { discard_request(message, size); });
}

void Session::discard_request(const std::uint8_t* message, std::uint64_t size) {
    sdo_discarded.fetch_add(1, std::memory_order_relaxed);
    if (auto* listener = discard_listener.load()) listener->request_discarded(message, size);
}

bool Session::nrt_pack(std::uint64_t allowance) {
    std::uint8_t* buffer = tx_entities->frame_b.data();
    std::size_t built_length = 0;
    if (frame_builder.build(buffer, Payload::sdo_protocol, buffer + frame_builder.data_offset(), nrt_data_size,
                            static_cast<std::uint16_t>(allowance / 4), built_length) != Datalink::PACK_OK)
        return false;
    nrt_tx_length = built_length;
    nrt_rx_allowance = allowance;
    return true;
}

}  // namespace Quorin_Core::RT_Serial::Control
