#include "rt_serial/control/Session.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <stdexcept>

#include "rt_serial/datalink/Payload_Descriptor.hpp"
#include "rt_serial/datalink/Protocol_Bitmap.hpp"
#include "rt_serial/datalink/Raw_Frame.hpp"
#include "rt_serial/datalink/Timestamp_Size_Table.hpp"
#include "rt_serial/datalink/receive_frame.hpp"
#include "rt_serial/datalink/rx_size_parser.hpp"
#include "utility/Logger.hpp"

namespace Quorin_Core::RT_Serial::Control {
namespace {

using Driver::Serial_Port;
using namespace std::chrono;

constexpr float min_frequency_hz = 1.0f;
constexpr float max_frequency_hz = 500.0f;
constexpr std::uint16_t tpdo_reply_quota = 256;       // 1024 bytes
constexpr std::uint8_t tpdo_request_data[] = {0x00, 0x01};
constexpr std::uint64_t max_frame_bytes = 1024;
constexpr std::uint64_t reply_timeout_margin_us = 500;
constexpr auto stop_settle_time = milliseconds(10);

Session* session_of(void* context) { return static_cast<Session*>(context); }

}  // namespace

Session::Session(const std::string& port_name, std::uint32_t baud, bool native_usb,
                 Protocol::SDO::Queue& tx_queue, Protocol::SDO::Queue& rx_queue, bool open_now)
    : work_guard(io_context.get_executor()),
      diag_timer(io_context),
      pdo_timer(io_context),
      nrt_timer(io_context),
      tx_entities(std::make_unique<Commu_Entities>(tx_queue)),
      rx_entities(std::make_unique<Commu_Entities>(rx_queue)),
      native_usb(native_usb),
      frame_builder(Datalink::Raw_Frame::host_id, Datalink::Raw_Frame::device_id, !native_usb, timestamp_code),
      source_filter(Datalink::ID_Filter::allow_only(Datalink::Raw_Frame::device_id)),
      destination_filter(Datalink::ID_Filter::allow_only(Datalink::Raw_Frame::host_id)),
      port_name(port_name) {
    open_port(baud, open_now);
    // A port still to be opened will run at the rate asked for.
    const auto reported_baud = open_now ? static_cast<std::uint64_t>(std::max(port->get_baudrate(), 0)) : baud;
    link = Link_Timing::for_rate(Link_Timing::link_rate_for(native_usb, reported_baud));
    fill_transfer_configs();
    clear_diagnostic();
    nrt_wake = std::make_shared<NRT_Wake>(io_context, [this] {
        if (running) nrt_start_transfer();
    });
    tx_queue.set_fill_listener(nrt_wake);
    if (!pdo_enabled) {
        period_ns = default_period_ns;
        tpdo_offset_ns = 0;
        rpdo_offset_ns = default_period_ns / 2;
    }
}

void Session::open_port(std::uint32_t baud, bool open_now) {
    try {
        port = Serial_Port::create(io_context, port_name,
                                   native_usb ? static_cast<unsigned>(native_usb_baud) : baud, open_now);
    } catch (const std::exception& error) {
        QUORIN_LOG(FATAL, "Failed to create Serial_Port for Session on [", port_name, "]:", error.what());
        throw std::runtime_error(error.what());
    }
}

Session::~Session() {
    tx_entities->queue.set_fill_listener({});
    nrt_wake->detach();
    try {
        stop();
        port->close();
    } catch (...) {
        // Logged by stop; a port that has failed must not stop the device from going away.
    }
    // Run the cancelled completions now, so nothing holds the port once the context goes.
    io_context.restart();
    io_context.poll();
    port.reset();
}

void Session::fill_transfer_configs() {
    rpdo_tx_config = {tx_entities->frame_a.data(), 0, &Session::rpdo_tx_cplt_cb, this};
    tpdo_tx_config = {tx_entities->frame_a.data(), 0, nullptr, this};
    nrt_tx_config = {tx_entities->frame_b.data(), 0, nullptr, this};
    fill_rx_config(tpdo_rx_config, rx_entities->frame_a.data());
    fill_rx_config(nrt_rx_config, rx_entities->frame_b.data());
    // Frames taken in between exchanges start no NRT transfer: the TPDO request comes next.
    fill_rx_config(pending_rx_config, rx_entities->frame_b.data());
    pending_rx_config.rx_cplt_cb = &Session::pending_rx_cplt_cb;
    pending_rx_config.rx_error_cb = nullptr;
    pending_rx_config.rx_timeout_cb = nullptr;
    fill_rx_config(idle_rx_config, rx_entities->frame_b.data());
    idle_rx_config.rx_timeout_cb = nullptr;  // it waits as long as the line stays quiet
}

void Session::fill_rx_config(Serial_Port::RX_Config& config, std::uint8_t* buffer) {
    config.buffer = buffer;
    config.buffer_size = frame_buffer_bytes;
    config.rx_cplt_cb = &Session::rx_cplt_cb;
    config.rx_error_cb = &Session::rx_error_cb;
    config.rx_timeout_cb = &Session::rx_timeout_cb;
    config.header[0] = 0xAA;
    config.header[1] = 0x55;
    config.header_size = 2;
    config.size_parse_len = rx_size_parse_len;
    config.size_parser = &rx_size_parser;
    config.timeout_us = 0;
    config.frame_check = &Session::frame_passes_checks;
    config.context = this;
}

// ---- lifecycle -------------------------------------------------------------------------

bool Session::start() {
    std::lock_guard lock(lifecycle_mutex);
    if (running) {
        QUORIN_LOG(WARN, "Session already started on [", port_name, "]!");
        return false;
    }
    if (thread.joinable()) thread.join();  // a run that ended on its own
    QUORIN_LOG(INFO, "Session starting on [", port_name, "]...");
    io_context.restart();
    running = true;
    try {
        thread = std::thread(&Session::run_thread, this);
    } catch (...) {
        running = false;
        throw;
    }
    {
        std::lock_guard clock_lock(run_time_mutex);
        running_since = std::chrono::steady_clock::now();
    }
    boost::asio::post(io_context, [this] {
        update_diagnostic();
        nrt_start_transfer();
    });
    return true;
}

std::chrono::nanoseconds Session::run_time() const {
    std::lock_guard lock(run_time_mutex);
    if (!running_since) return run_time_before;
    return run_time_before + (std::chrono::steady_clock::now() - *running_since);
}

void Session::run_thread() {
    QUORIN_LOG(INFO, "Session started on [", port_name, "]!");
    try {
        if (thread_start_hook) thread_start_hook();
        io_context.run();
        QUORIN_LOG(INFO, "Session stopped on [", port_name, "]!");
    } catch (const std::exception& error) {
        // Nothing may escape a thread; the device stays bound and can be opened again.
        io_context.stop();
        running = false;
        QUORIN_LOG(FATAL, "Exception during session start on [", port_name, "]:", error.what());
    }
}

void Session::stop() {
    std::lock_guard lock(lifecycle_mutex);
    pdo_enabled = false;
    pdo_requested = false;
    const bool thread_ran = thread.joinable();
    try {
        io_context.stop();
        if (thread_ran) thread.join();
        running = false;
        // The thread has ended: the timers and the port are this thread's to touch now.
        stop_timers_and_transfer();
        std::lock_guard clock_lock(run_time_mutex);
        if (running_since) run_time_before += std::chrono::steady_clock::now() - *running_since;
        running_since.reset();
    } catch (const std::exception& error) {
        QUORIN_LOG(FATAL, "Exception during session stop:", error.what());
        throw std::runtime_error(error.what());
    }
    // Lets the line settle after the last frame; a session that did not run since sent none.
    if (thread_ran) std::this_thread::sleep_for(stop_settle_time);
}

bool Session::port_lost() const { return port->error_state() || !port->is_open(); }

void Session::reopen_port(bool log_failure) {
    std::lock_guard lock(lifecycle_mutex);
    if (running) throw std::logic_error("the session runs on [" + port_name + "]");
    // The lost line's cancelled completions run now, while no session thread does (as at the
    // end of the session): none may be left to find the reopened line.
    port->close();
    io_context.restart();
    io_context.poll();
    port->reopen(log_failure);
}

void Session::stop_timers_and_transfer() {
    pdo_timer.cancel();
    nrt_timer.cancel();
    diag_timer.cancel();
    if (port->is_open()) stop_port_transfer();
    discard_prepared_frame();
    tpdo_request_due = false;
}

// ---- PDO -------------------------------------------------------------------------------

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

// ---- driver callbacks and the receive path -----------------------------------------------

void Session::rx_cplt_cb(Serial_Port* port, const std::uint8_t* data, std::size_t size, void* context) {
    Session* session = session_of(context);
    session->idle_receive_running = false;
    session->take_frame(*port, data, size);
    session->nrt_start_transfer();
}

void Session::pending_rx_cplt_cb(Serial_Port* port, const std::uint8_t* data, std::size_t size, void* context) {
    session_of(context)->take_frame(*port, data, size);
}

void Session::take_frame(Serial_Port& from, const std::uint8_t* data, std::size_t size) {
    const auto result = Datalink::receive_frame(data, size, source_filter, destination_filter, !native_usb, counters, *this);
    // A frame that fails its checks (the results before FRAME_OK) may have begun at a false
    // header and hidden good frames.
    if (result < Datalink::Receive_Result::FRAME_OK) from.search_again_after(data, size);
}

void Session::rx_error_cb(Serial_Port*, const std::uint8_t*, std::size_t, void* context) {
    session_of(context)->idle_receive_running = false;
    session_of(context)->nrt_start_transfer();
}

void Session::rx_timeout_cb(Serial_Port*, void* context) { session_of(context)->nrt_start_transfer(); }

bool Session::frame_passes_checks(const std::uint8_t* bytes, std::size_t size, void* context) {
    const Session* session = session_of(context);
    Datalink::Raw_Frame frame;
    return frame.unpack(bytes, size, session->source_filter, session->destination_filter, !session->native_usb) ==
           Datalink::Receive_Result::FRAME_OK;
}

void Session::rpdo_tx_cplt_cb(Serial_Port*, void* context) {
    Session* session = session_of(context);
    ++session->counters.rpdo;
    session->nrt_start_transfer();
}

void Session::pdo_payload(const std::uint8_t* data, std::size_t size) {
    inside_tpdo_reader = true;
    if (auto* reader = tpdo_reader.load()) (*reader)(data, size);
    inside_tpdo_reader = false;
}

void Session::sdo_message(const std::uint8_t* data, std::size_t size) { rx_entities->queue.enqueue(data, size); }

}  // namespace Quorin_Core::RT_Serial::Control
