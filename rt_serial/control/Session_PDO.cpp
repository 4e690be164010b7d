#include "rt_serial/control/Session.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>

#include "rt_serial/datalink/Payload_Descriptor.hpp"
#include "rt_serial/datalink/Protocol_Bitmap.hpp"
#include "rt_serial/datalink/Raw_Frame.hpp"
#include "rt_serial/datalink/Timestamp_Size_Table.hpp"
#include "utility/Logger.hpp"

// The PDO cycle: the RPDO and TPDO events on the session's timer, and the slot and sink that
// carry process data to and from the clients.
namespace Quorin_Core::RT_Serial::Control {
namespace {

using namespace std::chrono;

constexpr float min_frequency_hz = 1.0f;
constexpr float max_frequency_hz = 500.0f;
constexpr std::uint16_t tpdo_reply_quota = 256;       // 1024 bytes
constexpr std::uint8_t tpdo_request_data[] = {0x00, 0x01};
constexpr std::uint64_t max_frame_bytes = 1024;
constexpr std::uint64_t reply_timeout_margin_us = 500;

}  // namespace

void Session::enable_pdo() {
    pdo_requested = true;
    if (pdo_enabled.exchange(true)) return;
    boost::asio::post(io_context, [this] {
        if (!pdo_enabled) return;
        largest_byte_cap = 0;
        periods_at_setting = 0;
        uncarriable_logged = false;
        next_sync = Clock::now() + nanoseconds(tpdo_offset_ns.load());
        arm_pdo_timer(&Session::rpdo_sync_handler);
    });
}

void Session::disable_pdo() {
    pdo_requested = false;
    pdo_enabled = false;
    boost::asio::post(io_context, [this] {
        if (pdo_enabled) return;
        pdo_timer.cancel();
        nrt_start_transfer();  // no PDO event steps the scheduler any more
    });
}

void Session::set_pdo_config(float frequency_hz) {
    if (pdo_enabled) return;
    // NaN is no frequency; keep what is set.
    if (!(frequency_hz == frequency_hz)) return;
    const float clamped = std::clamp(frequency_hz, min_frequency_hz, max_frequency_hz);
    const auto period = static_cast<std::uint64_t>(1e9f / clamped);
    period_ns = period;
    tpdo_offset_ns = 0;
    rpdo_offset_ns = period / 2;
}

void Session::set_pdo_config(float frequency_hz, std::uint64_t tpdo_offset, std::uint64_t rpdo_offset) {
    if (pdo_enabled || !(frequency_hz == frequency_hz)) return;
    const float clamped = std::clamp(frequency_hz, min_frequency_hz, max_frequency_hz);
    const auto period = static_cast<std::uint64_t>(1e9f / clamped);
    // The RPDO transmission must come before the TPDO request within one period.
    if (tpdo_offset >= rpdo_offset || rpdo_offset >= period) return;
    period_ns = period;
    tpdo_offset_ns = tpdo_offset;
    rpdo_offset_ns = rpdo_offset;
}

void Session::arm_pdo_timer(void (Session::*handler)()) {
    pdo_timer.expires_at(next_sync);
    pdo_timer.async_wait([this, handler](const boost::system::error_code& error) {
        if (error == boost::asio::error::operation_aborted) return;
        if (error) {
            QUORIN_LOG_ERROR("PDO sync timer error on [", port_name, "]:", error.message());
            return;
        }
        if (pdo_enabled) (this->*handler)();
    });
}

void Session::skip_missed_periods() {
    // A short stall (1 to 11 ms happen on any machine) costs no period: its events go out late.
    // After a longer one the missed periods are skipped, never sent in a burst to catch up.
    const nanoseconds period(period_ns.load());
    const auto late = Clock::now() - next_sync;
    if (late < std::max<Clock::duration>(period, min_skip_lateness)) return;
    const auto missed = late / period;
    next_sync += missed * period;
    skipped_periods.fetch_add(static_cast<std::uint64_t>(missed), std::memory_order_relaxed);
}

void Session::rpdo_sync_handler() {
    skip_missed_periods();
    next_sync += nanoseconds(static_cast<std::int64_t>(rpdo_offset_ns - tpdo_offset_ns));
    arm_pdo_timer(&Session::tpdo_sync_handler);
    if (++periods_at_setting % settle_periods == 0) uncarriable_check_due = true;
    if (port->tx_busy()) stop_port_transfer();
    std::size_t frame_length = 0;
    if (!build_rpdo_frame(frame_length)) return;
    rpdo_tx_config.size = static_cast<std::uint16_t>(frame_length);
    if (const auto result = port->start_transfer(&rpdo_tx_config, nullptr)) pdo_start_failed("RPDO", result);
}

bool Session::build_rpdo_frame(std::size_t& frame_length) {
    std::uint8_t* buffer = tx_entities->frame_a.data();
    inside_rpdo_writer = true;  // before the writer is looked at: see reset_rpdo_sync_write_handler
    if (auto* writer = rpdo_writer.load()) {
        std::uint8_t* data = buffer + frame_builder.data_offset();
        std::size_t size = 0;
        (*writer)(data, &size);
        inside_rpdo_writer = false;
        size = std::min(size, frame_builder.max_data_size());
        return frame_builder.build(buffer, Payload::pdo_protocol, data, size, 0, frame_length) ==
               Datalink::PACK_OK;
    }
    inside_rpdo_writer = false;
    const auto data = tx_entities->pdo_slot.read();
    const auto result = frame_builder.build(buffer, Payload::pdo_protocol, data.data(), data.size(), 0, frame_length);
    return result == Datalink::PACK_OK;
}

void Session::tpdo_sync_handler() {
    skip_missed_periods();
    next_sync += nanoseconds(static_cast<std::int64_t>(period_ns + tpdo_offset_ns - rpdo_offset_ns));
    arm_pdo_timer(&Session::rpdo_sync_handler);
    if (port->tx_busy() || port->rx_busy()) stop_port_transfer();
    // The stopped receive's read comes back first with whatever it had read; the request
    // follows it, so that all that came before the request is taken in first.
    if (port->stopped_read_outstanding()) {
        tpdo_request_due = true;  // and no NRT exchange may take the line meanwhile
        boost::asio::post(io_context, [this] { send_tpdo_request(); });
        return;
    }
    send_tpdo_request();
}

void Session::send_tpdo_request() {
    tpdo_request_due = false;
    if (!pdo_enabled) return;
    // A late answer still unread would be taken for this request's answer, and every later
    // answer would lag a period behind: take in whatever has come before asking again.
    port->receive_pending(&pending_rx_config);
    std::size_t frame_length = 0;
    if (frame_builder.build(tx_entities->frame_a.data(), Payload::pdo_protocol, tpdo_request_data,
                            sizeof tpdo_request_data, tpdo_reply_quota, frame_length) != Datalink::PACK_OK)
        return;
    tpdo_tx_config.size = static_cast<std::uint16_t>(frame_length);
    tpdo_rx_config.timeout_us = static_cast<std::uint64_t>(
        static_cast<float>(frame_length + max_frame_bytes) * link.us_per_byte + reply_timeout_margin_us);
    if (const auto result = port->start_transfer(&tpdo_tx_config, &tpdo_rx_config)) {
        pdo_start_failed("TPDO", result);
        return;
    }
    ++counters.tpdo_tx;
}

void Session::pdo_start_failed(const char* what, std::uint8_t result) {
    pdo_enabled = false;
    pdo_timer.cancel();
    const int code = result;
    if (what[0] == 'R') {
        QUORIN_LOG_ERROR("Failed to start RPDO sync on [", port_name, "]! result = [", code, "]");
    } else {
        QUORIN_LOG_ERROR("Failed to start TPDO sync on [", port_name, "], result = [", code, "]");
    }
}

void Session::pdo_write(const std::uint8_t* data, std::size_t size) { tx_entities->pdo_slot.write(data, size); }

void Session::set_tpdo_sync_read_handler(Base_TPDO_Sync_Read& reader) { tpdo_reader = &reader; }

void Session::reset_tpdo_sync_read_handler() {
    tpdo_reader = nullptr;
    // The sink's owner may free it on return: wait until the session thread has left it.
    if (io_context.get_executor().running_in_this_thread()) return;
    while (inside_tpdo_reader.load()) std::this_thread::yield();
}

void Session::set_rpdo_sync_write_handler(Base_RPDO_Sync_Write& writer) { rpdo_writer = &writer; }

void Session::reset_rpdo_sync_write_handler() {
    rpdo_writer = nullptr;
    // As for the TPDO sink: its owner may free the source on return.
    if (io_context.get_executor().running_in_this_thread()) return;
    while (inside_rpdo_writer.load()) std::this_thread::yield();
}

}  // namespace Quorin_Core::RT_Serial::Control
