#include "rt_serial/driver/Serial_Port.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "rt_serial/driver/Serial_Line.hpp"
#include "utility/Log_Repeat.hpp"
#include "utility/Logger.hpp"

namespace Quorin_Core::RT_Serial::Driver {

namespace {

using Clock = std::chrono::steady_clock;

bool aborted(const boost::system::error_code& ec) {
    return ec == boost::asio::error::operation_aborted;
}

/// Now plus `us` microseconds on the steady clock, or the clock's end if that lies beyond it.
Clock::time_point deadline_after(std::uint64_t us) {
    const Clock::time_point now = Clock::now();
    const auto room = std::chrono::duration_cast<std::chrono::microseconds>(Clock::time_point::max() - now);
    if (us >= static_cast<std::uint64_t>(room.count())) return Clock::time_point::max();
    return now + std::chrono::microseconds(us);
}

}  // namespace

void Serial_Port::Transfer_Diagnostic_Raw::clear() {
    tx_frames.exchange(0);
    rx_frames.exchange(0);
    rx_errors.exchange(0);
    rx_timeouts.exchange(0);
    tx_bytes.exchange(0);
    rx_bytes.exchange(0);
}

std::shared_ptr<Serial_Port> Serial_Port::create(boost::asio::io_context& io,
                                                 const std::string& name, unsigned baud, bool open_now) {
    return std::make_shared<Serial_Port>(Private{}, io, name, baud, open_now);
}

Serial_Port::Serial_Port(Private, boost::asio::io_context& io, const std::string& name,
                         unsigned baud, bool open_now)
    : port_name(name), baud(baud), port(io), timeout_timer(io) {
    diag.clear();
    if (!open_now) return;
    std::lock_guard lock(mutex);
    open_line(true);
}

void Serial_Port::open_line(bool log_failure) {
    boost::system::error_code ec;
    Serial_Line::open(port, port_name, ec);
    if (ec) {
        if (log_failure) QUORIN_LOG(FATAL, "Error opening serial port [", port_name, "]: ", ec.message());
        throw std::runtime_error(ec.message());
    }
    QUORIN_LOG(INFO, "Serial port [", port_name, "] opened!");
    try {
        Serial_Line::configure(port.native_handle(), baud, port_name);
    } catch (const std::exception& e) {
        QUORIN_LOG(FATAL, "Error setting serial port options [", port_name, "]: ", e.what());
        Serial_Line::close(port, ec);
        if (!ec) QUORIN_LOG(INFO, "Serial port [", port_name, "] closed!");
        throw std::runtime_error(e.what());
    }
}

void Serial_Port::reopen(bool log_failure) {
    std::lock_guard lock(mutex);
    if (port.is_open()) {
        stop_locked();
        boost::system::error_code ignored;
        Serial_Line::close(port, ignored);
    }
    pending.clear();
    open_line(log_failure);
    failed = false;
}

Serial_Port::~Serial_Port() {
    try {
        close();
    } catch (...) {
        // Nothing can be reported from here; the handle is released by the port object.
    }
}

std::uint8_t Serial_Port::start_transfer(const TX_Config* tx, const RX_Config* rx) {
    std::lock_guard lock(mutex);
    if (!port.is_open()) {
        QUORIN_LOG(DEBUG, "Serial port [", port_name, "] not opened!");
        return transfer_not_opened;
    }
    if (failed) {
        QUORIN_LOG(DEBUG, "Serial port [", port_name, "] in error state!");
        return transfer_error_state;
    }
    std::uint8_t result = 0;
    if (tx != nullptr) {
        if (tx_running.exchange(true)) {
            QUORIN_LOG(DEBUG, "Serial port [", port_name, "] TX transfer failed! [TX BUSY]");
            result |= transfer_tx_busy;
        } else {
            tx_config = tx;
            transmit();
        }
    }
    if (rx != nullptr) result |= start_receive(rx);
    return result;
}

bool Serial_Port::valid(const RX_Config& rx) {
    if (rx.buffer == nullptr || rx.buffer_size == 0) return false;
    // Fixed-size mode has no header; a size-parsed frame needs one to be found at all.
    if (rx.size_parse_len == 0) return rx.header_size == 0;
    return rx.header_size != 0 && rx.header_size < rx.size_parse_len &&
           rx.size_parse_len < rx.buffer_size && rx.size_parser != nullptr;
}

std::uint8_t Serial_Port::start_receive(const RX_Config* rx) {
    if (!valid(*rx)) {
        QUORIN_LOG(WARN, "Invalid transfer RX config on serial port[", port_name, "]");
        return transfer_rx_refused;
    }
    if (rx_running.exchange(true)) {
        QUORIN_LOG(DEBUG, "Serial port [", port_name, "] RX transfer failed! [RX BUSY]");
        return transfer_rx_refused;
    }
    rx_config = rx;
    rx_received = 0;
    receive_header();
    if (rx->rx_timeout_cb != nullptr) set_timeout(rx->timeout_us);
    return 0;
}

void Serial_Port::stop_transfer() {
    std::lock_guard lock(mutex);
    if (!port.is_open()) throw boost::system::system_error(boost::asio::error::bad_descriptor, "cancel");
    stop_locked();
}

void Serial_Port::close() {
    std::lock_guard lock(mutex);
    if (!port.is_open()) return;
    stop_locked();
    pending.clear();
    boost::system::error_code ec;
    Serial_Line::close(port, ec);
    if (ec) {
        QUORIN_LOG_ERROR("Error closing serial port [", port_name, "]: ", ec.message());
    } else {
        QUORIN_LOG(INFO, "Serial port [", port_name, "] closed!");
    }
}

int Serial_Port::get_baudrate() const {
    std::lock_guard lock(mutex);
    try {
        return static_cast<int>(Serial_Line::baudrate(port.native_handle()));
    } catch (const std::exception& e) {
        QUORIN_LOG_ERROR("Error getting baudrate on serial port [", port_name, "]: ", e.what());
        return 0;
    }
}

bool Serial_Port::stopped_read_outstanding() const {
    std::lock_guard lock(mutex);
    return line_read_in_flight && !rx_running;
}

bool Serial_Port::is_open() const {
    std::lock_guard lock(mutex);
    return port.is_open();
}

// ---- Transmit ----

void Serial_Port::transmit() {
    tx_written = 0;
    write_next();
}

void Serial_Port::write_next() {
    const std::size_t chunk = std::min<std::size_t>(tx_config->size - tx_written, max_io_chunk_bytes);
    port.async_write_some(boost::asio::buffer(tx_config->data + tx_written, chunk),
                          [self = shared_from_this(), epoch = tx_epoch](
                              const boost::system::error_code& ec, std::size_t bytes) {
                              self->guarded([&] { self->on_written(epoch, ec, bytes); });
                          });
}

void Serial_Port::on_written(std::uint64_t epoch, const boost::system::error_code& ec,
                             std::size_t bytes) {
    Callback_Call call;
    {
        std::lock_guard lock(mutex);
        diag.tx_bytes += bytes;
        // A stop, a time-out or an error has ended this transmit already.
        if (epoch != tx_epoch || aborted(ec)) return;
        tx_written += bytes;
        if (ec) {
            QUORIN_LOG_REPEATING(ERROR, "Error writting data on serial port", Utility::repeat_key(ec, tx_written),
                                 "Error writting data on serial port [", port_name, "]: [", ec.message(),
                                 "] Bytes transferred: ", tx_written);
            enter_error_state();
            return;
        }
        if (tx_written < tx_config->size) return write_next();
        diag.tx_frames += 1;
        end_transmit();
        call.event = tx_config->tx_cplt_cb;
        call.context = tx_config->context;
    }
    invoke(call);
}

// ---- Receive ----

void Serial_Port::receive_header() {
    if (rx_config->size_parse_len != 0) {
        read_stage(Receive_Stage::HEADER, 1);
    } else {
        read_stage(Receive_Stage::FIXED_SIZE, rx_config->buffer_size - rx_received);
    }
}

void Serial_Port::receive_to_size_parse() {
    rx_stage_size = rx_config->size_parse_len - rx_received;
    read_stage(Receive_Stage::SIZE_PARSE, rx_stage_size);
}

void Serial_Port::read_stage(Receive_Stage stage, std::size_t bytes) {
    rx_stage = stage;
    rx_stage_size = bytes;
    rx_stage_done = 0;
    read_next();
}

void Serial_Port::read_next() {
    // The read of a receive that was stopped comes back first; its completion resumes this one.
    if (line_read_in_flight) return;
    if (!pending.empty()) {
        // Bytes read ahead come first; handed over like a read's completion, never inline.
        boost::asio::post(port.get_executor(), [self = shared_from_this(), epoch = rx_epoch] {
            self->guarded([&] { self->on_pending_read(epoch); });
        });
        return;
    }
    std::uint8_t* at = rx_config->buffer + rx_received + rx_stage_done;
    const std::size_t chunk = std::min(rx_stage_size - rx_stage_done, max_io_chunk_bytes);
    line_read_in_flight = true;
    port.async_read_some(boost::asio::buffer(at, chunk),
                         [self = shared_from_this(), epoch = rx_epoch, at](
                             const boost::system::error_code& ec, std::size_t bytes) {
                             self->guarded([&] { self->on_read(epoch, at, ec, bytes); });
                         });
}

void Serial_Port::on_read(std::uint64_t epoch, const std::uint8_t* at, const boost::system::error_code& ec,
                          std::size_t bytes) {
    Callback_Call call;
    {
        std::lock_guard lock(mutex);
        diag.rx_bytes += bytes;
        line_read_in_flight = false;
        if (!ec && epoch != rx_epoch) return stopped_read(at, bytes);
        if (aborted(ec)) {
            // Nothing was read; a receive started since the stop waited for this completion.
            if (epoch != rx_epoch && rx_running) read_next();
            return;
        }
        if (ec) {
            QUORIN_LOG_REPEATING(ERROR, "Error reading data on serial port", Utility::repeat_key(ec, rx_stage_done + bytes),
                                 "Error reading data on serial port [", port_name, "]: [", ec.message(),
                                 "] Bytes transferred:", rx_stage_done + bytes);
            enter_error_state();
            return;
        }
        call = stage_bytes_read(bytes);
    }
    invoke(call);
}

// ---- Time-out ----

void Serial_Port::set_timeout(std::uint64_t us) {
    timeout_timer.expires_at(deadline_after(us));  // also cancels a wait still pending
    timeout_timer.async_wait(
        [self = shared_from_this(), epoch = rx_epoch](const boost::system::error_code& ec) {
            self->guarded([&] { self->on_timeout(epoch, ec); });
        });
}

void Serial_Port::on_timeout(std::uint64_t epoch, const boost::system::error_code& ec) {
    Callback_Call call;
    {
        std::lock_guard lock(mutex);
        // The receive ended before the expiry was delivered (its cancel came too late).
        if (epoch != rx_epoch || aborted(ec)) return;
        if (ec) {
            QUORIN_LOG_ERROR("Timeout timer Error on serial port[", port_name, "]: ", ec.message());
            enter_error_state();
            return;
        }
        // The frame goes on at the next receive: under load its bytes may be on the line already.
        // Cut short again, it is searched from its second byte: a length word that claims more
        // than was sent must not swallow the frames that follow for long.
        resumes_timed_out_frame = keep_unfinished_frame(resumes_timed_out_frame);
        boost::system::error_code ignored;
        port.cancel(ignored);
        diag.rx_timeouts += 1;
        call.event = rx_config->rx_timeout_cb;
        call.context = rx_config->context;
        end_receive();
        // The cancel also ended a write still running; leaving it busy would block the
        // next transfer until someone calls stop_transfer.
        end_transmit();
    }
    invoke(call);
}

// ---- Shared steps (mutex held) ----

void Serial_Port::end_receive() {
    timeout_timer.cancel();
    rx_running = false;
    ++rx_epoch;
}

void Serial_Port::end_transmit() {
    tx_running = false;
    ++tx_epoch;
}

void Serial_Port::stop_locked() {
    keep_unfinished_frame(false);
    boost::system::error_code ignored;
    port.cancel(ignored);
    end_receive();
    end_transmit();
}

void Serial_Port::enter_error_state() {
    stop_locked();
    failed = true;
}

void Serial_Port::invoke(const Callback_Call& call) {
    if (call.frame != nullptr) {
        call.frame(this, call.buffer, call.size, call.context);
    } else if (call.event != nullptr) {
        call.event(this, call.context);
    }
}

template <typename Step>
void Serial_Port::guarded(Step&& step) noexcept {
    try {
        step();
    } catch (const std::exception& e) {
        handler_failed(e.what());
    } catch (...) {
        handler_failed("unknown exception");
    }
}

void Serial_Port::handler_failed(const char* what) noexcept {
    try {
        std::lock_guard lock(mutex);
        QUORIN_LOG_ERROR("Exception on serial port [", port_name, "]: ", what);
        if (port.is_open()) enter_error_state();
    } catch (...) {
        // Out of ways to report it; the handler must still not throw into the run loop.
    }
}

}  // namespace Quorin_Core::RT_Serial::Driver
