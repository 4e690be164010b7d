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
