#include "rt_serial/driver/Serial_Port.hpp"

#include <algorithm>
#include <cstring>

#include "rt_serial/driver/Serial_Line.hpp"
#include "utility/Logger.hpp"

// How the bytes a receive reads become frames: the stages of a receive, the bytes kept for the
// next one across stops and time-outs, and the frames already on the line.
namespace Quorin_Core::RT_Serial::Driver {

namespace {

/// Length of the longest tail of bytes[0, length) that is a beginning of the header, so
/// that a mismatching byte may still begin the header itself (0xAA 0xAA 0x55 holds a
/// header 0xAA 0x55 at its second byte).
std::size_t header_overlap(const std::uint8_t* bytes, std::size_t length,
                           const Serial_Port::RX_Config& rx) {
    for (std::size_t kept = std::min<std::size_t>(length, rx.header_size); kept > 0; --kept) {
        if (std::memcmp(bytes + length - kept, rx.header, kept) == 0) return kept;
    }
    return 0;
}

/// Where in bytes[0, length) the first header begins, or where a tail that may begin one
/// does; bytes before it cannot be part of a frame.
std::size_t header_position(const std::uint8_t* bytes, std::size_t length, const Serial_Port::RX_Config& rx) {
    for (std::size_t at = 0; at + rx.header_size <= length; ++at) {
        if (std::memcmp(bytes + at, rx.header, rx.header_size) == 0) return at;
    }
    return length - header_overlap(bytes, length, rx);
}

}  // namespace

// ---- Frames already on the line ----

std::size_t Serial_Port::receive_pending(const RX_Config* rx) {
    std::size_t frames = 0;
    for (;;) {
        Callback_Call call;
        {
            std::lock_guard lock(mutex);
            // A stopped receive's read still to come back holds bytes that come first.
            if (!port.is_open() || failed || rx_running || line_read_in_flight || rx == nullptr || !valid(*rx) ||
                rx->size_parse_len == 0)
                return frames;
            switch (next_pending_frame(*rx, call)) {
                case Pending_Step::NONE: return frames;
                case Pending_Step::FRAME: ++frames; break;
                case Pending_Step::SIZE_ERROR: break;
            }
        }
        invoke(call);
    }
}

Serial_Port::Pending_Step Serial_Port::next_pending_frame(const RX_Config& rx, Callback_Call& call) {
    for (;;) {
        pending.consume(header_position(pending.held().data(), pending.held().size(), rx));
        const std::uint8_t* frame = pending.held().data();
        const std::size_t have = pending.held().size();
        if (have >= rx.size_parse_len) {
            const std::size_t size = rx.size_parser(this, frame);
            if (size < rx.size_parse_len || size > rx.buffer_size) {
                // As in a receive: the header is given up, hunting goes on from its second byte.
                std::memcpy(rx.buffer, frame, rx.size_parse_len);
                pending.consume(1);
                resumes_timed_out_frame = false;
                diag.rx_errors += 1;
                call = {rx.rx_error_cb, nullptr, rx.buffer, rx.size_parse_len, rx.context};
                return Pending_Step::SIZE_ERROR;
            }
            if (have >= size) {
                std::memcpy(rx.buffer, frame, size);
                pending.consume(size);
                resumes_timed_out_frame = false;
                diag.rx_frames += 1;
                call = {rx.rx_cplt_cb, nullptr, rx.buffer, size, rx.context};
                return Pending_Step::FRAME;
            }
            if (hides_checked_frame(frame, have, rx)) {
                // Kept at a cut, it lied in its length word: the frames it holds come in now,
                // not once bytes enough to fill it have come.
                pending.consume(1);
                resumes_timed_out_frame = false;
                diag.rx_errors += 1;
                continue;
            }
        }
        if (!fill_pending()) return Pending_Step::NONE;
    }
}

bool Serial_Port::fill_pending() {
    const auto room = pending.room();
    if (room.empty()) return false;
    boost::system::error_code ec;
    const std::size_t got = Serial_Line::read_available(port.native_handle(), room.data(), room.size(), ec);
    if (ec) QUORIN_LOG(DEBUG, "Could not read pending input on serial port [", port_name, "]: ", ec.message());
    diag.rx_bytes += got;
    pending.commit(got);
    return got != 0;
}

// ---- Kept bytes and the stages of a receive ----

void Serial_Port::stopped_read(const std::uint8_t* at, std::size_t bytes) {
    // A stop or a time-out came after the system had read these bytes: they still belong to
    // the stream, after the stopped receive's own. Nobody has written to that buffer since:
    // every later read waited for this one.
    keep_pending(at, bytes);
    if (rx_running) read_next();
}

void Serial_Port::keep_pending(const std::uint8_t* bytes, std::size_t size) {
    if (const std::size_t kept = pending.append(bytes, size); kept < size)
        QUORIN_LOG(DEBUG, "Serial port [", port_name, "] dropped ", size - kept, " received bytes: no room to keep them");
}

bool Serial_Port::keep_unfinished_frame(bool searched_once) {
    // In fixed-size mode there are no frames to keep whole; elsewhere the beginning of the frame
    // goes before whatever was read ahead of it, so the next receive can finish it. A frame
    // that already holds another whole one lied in its length word: it is searched again from
    // its second byte, so that it costs itself and not the frames it would swallow.
    if (!rx_running || rx_config == nullptr || rx_config->size_parse_len == 0) return false;
    const std::size_t size = rx_received + rx_stage_done;
    if (size == 0) return false;
    const bool given_up = searched_once || hides_checked_frame(rx_config->buffer, size, *rx_config);
    if (given_up && !searched_once) diag.rx_errors += 1;
    if (size > 1 || !given_up) put_back(rx_config->buffer + (given_up ? 1 : 0), size - (given_up ? 1 : 0));
    return !given_up;
}

bool Serial_Port::hides_checked_frame(const std::uint8_t* bytes, std::size_t size, const RX_Config& rx) {
    if (rx.frame_check == nullptr) return false;
    for (std::size_t at = 1; at + rx.size_parse_len <= size; ++at) {
        at += header_position(bytes + at, size - at, rx);
        if (at + rx.size_parse_len > size) return false;
        const std::size_t frame_size = rx.size_parser(this, bytes + at);
        if (frame_size >= rx.size_parse_len && frame_size <= size - at &&
            rx.frame_check(bytes + at, frame_size, rx.context))
            return true;
    }
    return false;
}

void Serial_Port::put_back(const std::uint8_t* bytes, std::size_t size) {
    if (!pending.put_back(bytes, size))
        QUORIN_LOG(DEBUG, "Serial port [", port_name, "] dropped ", size, " received bytes: no room to search them again");
}

void Serial_Port::search_again_after(const std::uint8_t* bad_frame, std::size_t size) {
    std::lock_guard lock(mutex);
    if (size > 1) put_back(bad_frame + 1, size - 1);
}

void Serial_Port::on_pending_read(std::uint64_t epoch) {
    Callback_Call call;
    {
        std::lock_guard lock(mutex);
        // Left for the receive after this one, which a stop or a time-out has ended already.
        if (epoch != rx_epoch) return;
        std::uint8_t* at = rx_config->buffer + rx_received + rx_stage_done;
        const std::size_t bytes = std::min(rx_stage_size - rx_stage_done, pending.held().size());
        std::memcpy(at, pending.held().data(), bytes);
        pending.consume(bytes);
        call = stage_bytes_read(bytes);
    }
    invoke(call);
}

Serial_Port::Callback_Call Serial_Port::stage_bytes_read(std::size_t bytes) {
    rx_stage_done += bytes;
    if (rx_stage_done < rx_stage_size) {
        read_next();
        return {};
    }
    return finish_stage();
}

Serial_Port::Callback_Call Serial_Port::finish_stage() {
    switch (rx_stage) {
        case Receive_Stage::HEADER: return header_byte_read();
        case Receive_Stage::SIZE_PARSE: return size_parse_read();
        case Receive_Stage::REMAINDER: return remainder_read();
        case Receive_Stage::FIXED_SIZE: return frame_received(rx_stage_done);
    }
    return {};
}

Serial_Port::Callback_Call Serial_Port::header_byte_read() {
    const std::size_t length = rx_received + 1;
    rx_received = header_overlap(rx_config->buffer, length, *rx_config);
    if (rx_received != length) {
        std::memmove(rx_config->buffer, rx_config->buffer + length - rx_received, rx_received);
    }
    if (rx_received < rx_config->header_size) {
        receive_header();
        return {};
    }
    if (rx_config->buffer_size < rx_config->size_parse_len) {
        rx_stage_size = rx_config->size_parse_len - rx_received;
        QUORIN_LOG(DEBUG, "Receive to size parse aborted on port [", port_name,
                   "]: Buffer size: ", rx_config->buffer_size,
                   " Target size: ", rx_received + rx_stage_size);
        return size_error();
    }
    receive_to_size_parse();
    return {};
}

Serial_Port::Callback_Call Serial_Port::size_parse_read() {
    rx_received += rx_stage_size;
    rx_frame_size = rx_config->size_parser(this, rx_config->buffer);
    if (rx_received == rx_frame_size) return frame_received(rx_frame_size);
    if (rx_received > rx_frame_size) {
        QUORIN_LOG(DEBUG, "Receive to size parse aborted on port [", port_name, "]: [",
                   boost::system::error_code().message(), "] Bytes transferred: ", rx_stage_done);
        put_back(rx_config->buffer + 1, rx_received - 1);  // a header may begin among them
        return size_error();
    }
    rx_stage_size = rx_frame_size - rx_received;
    if (rx_config->buffer_size < rx_frame_size) {
        QUORIN_LOG(DEBUG, "Receive remaining aborted on port [", port_name,
                   "]: Buffer size: ", rx_config->buffer_size,
                   " Target size: ", rx_received + rx_stage_size);
        put_back(rx_config->buffer + 1, rx_received - 1);
        return size_error();
    }
    receive_remaining();
    return {};
}

void Serial_Port::receive_remaining() {
    read_stage(Receive_Stage::REMAINDER, rx_stage_size);
}

Serial_Port::Callback_Call Serial_Port::remainder_read() {
    const std::size_t total = rx_received + rx_stage_done;
    if (total == rx_frame_size) return frame_received(rx_frame_size);
    diag.rx_frames += 1;
    QUORIN_LOG(DEBUG, "Receive size segment error on port [", port_name,
               "]: Expected size: ", rx_frame_size, " Actual size: ", total);
    return size_error();
}

Serial_Port::Callback_Call Serial_Port::frame_received(std::size_t size) {
    end_receive();
    resumes_timed_out_frame = false;
    diag.rx_frames += 1;
    return {rx_config->rx_cplt_cb, nullptr, rx_config->buffer, size, rx_config->context};
}

Serial_Port::Callback_Call Serial_Port::size_error() {
    end_receive();
    resumes_timed_out_frame = false;
    diag.rx_errors += 1;
    return {rx_config->rx_error_cb, nullptr, rx_config->buffer, rx_stage_size, rx_config->context};
}

}  // namespace Quorin_Core::RT_Serial::Driver
