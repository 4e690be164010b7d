#include "tools/devsim/Link_Runner.hpp"

#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace Quorin_Tools::Devsim {

using Quorin_Core::RT_Serial::Datalink::Raw_Frame;
using Quorin_Core::RT_Serial::Datalink::Receive_Result;

namespace {

/// Timer slack of the simulator's thread: the default 50 µs would blur the pacing.
constexpr unsigned long timer_slack_ns = 1;
constexpr std::size_t length_word_offset = 4;

std::uint64_t to_ns(std::chrono::steady_clock::time_point at) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count());
}

/// The reply quota in the length word of a frame of at least 6 bytes.
std::uint16_t reply_quota_of(const std::uint8_t* frame) {
    const auto word = static_cast<std::uint16_t>((frame[length_word_offset] << 8) | frame[length_word_offset + 1]);
    return word & Raw_Frame::reply_quota_mask;
}

/// Sizes of `pieces` near-equal parts of `size` bytes (the first ones one byte longer).
std::vector<std::size_t> piece_sizes(std::size_t size, unsigned pieces) {
    const std::size_t count = std::clamp<std::size_t>(pieces, 1, std::max<std::size_t>(size, 1));
    std::vector<std::size_t> sizes(count, size / count);
    for (std::size_t i = 0; i < size % count; ++i) ++sizes[i];
    return sizes;
}

}  // namespace

Link_Runner::Link_Runner(const Config& config, Simulator_State& state, std::function<void(const std::string&)> log)
    : config(config),
      state(state),
      log(std::move(log)),
      model(config.native_usb, counters),
      injector(!config.native_usb, counters),
      pacer(config.baud) {
    if (config.trace_path.empty()) return;
    trace_file.open(config.trace_path, std::ios::out | std::ios::trunc);
    if (!trace_file) throw std::runtime_error("cannot write the trace file " + config.trace_path);
    trace_file << Trace_Entry::header << '\n';
}

void Link_Runner::plug() {
    link = std::make_unique<Pty_Link>(config.link_path, config.baud);
    frames_since_plug = 0;
    state.set_link(true, link->slave_path());
}

void Link_Runner::run() {
    ::prctl(PR_SET_TIMERSLACK, timer_slack_ns, 0, 0, 0);
    try {
        while (!state.stop_requested() && (link || replug_at)) turn();
    } catch (...) {
        publish();
        throw;
    }
    if (trace_file.is_open()) trace_file.flush();
    publish();
}

void Link_Runner::turn() {
    const Clock::time_point now = Clock::now();
    if (!link && replug_at && now >= *replug_at) replug();
    if (state.take_unplug_request() && link) unplug();
    handle_due_frames(now);
    write_due(Clock::now());
    expire_partial(now);
    flush_trace(now);
    publish();
    if (link || replug_at) wait(next_deadline());
}

void Link_Runner::read_input() {
    std::array<std::uint8_t, read_chunk_bytes> buffer;
    bool got_any = false;
    for (;;) {
        const ssize_t got = ::read(link->master_fd(), buffer.data(), buffer.size());
        if (got > 0) {
            counters.bytes_in += static_cast<std::uint64_t>(got);
            reassembler.append(buffer.data(), static_cast<std::size_t>(got));
            got_any = true;
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == EAGAIN) break;
        const std::string why = got == 0 ? "end of file" : std::strerror(errno);
        throw std::runtime_error("reading the pty failed: " + why);
    }
    if (!got_any) return;
    last_input_at = Clock::now();
    extract_frames(last_input_at);
}

void Link_Runner::extract_frames(Clock::time_point read_at) {
    for (std::span<const std::uint8_t> frame = reassembler.next(); !frame.empty(); frame = reassembler.next()) {
        const Receive_Result check = model.check(frame.data(), frame.size());
        if (check != Receive_Result::FRAME_OK) {
            record({.read_ns = to_ns(read_at), .handled_ns = to_ns(read_at), .kind = Frame_Kind::BAD, .check = check,
                    .length = static_cast<std::uint16_t>(frame.size()), .reply_quota = reply_quota_of(frame.data())});
            reassembler.skip();
            continue;
        }
        inbox.push_back({{frame.begin(), frame.end()}, read_at, pacer.receive_done(read_at, frame.size())});
        reassembler.consume();
    }
    counters.discarded_bytes = reassembler.discarded_bytes();
}

void Link_Runner::handle_due_frames(Clock::time_point now) {
    while (link && !inbox.empty() && inbox.front().handle_at <= now) {
        const Received_Frame frame = std::move(inbox.front());
        inbox.pop_front();
        handle_frame(frame);
        if (config.unplug_after != 0 && frames_since_plug == config.unplug_after) unplug();
    }
}

void Link_Runner::handle_frame(const Received_Frame& frame) {
    const Behaviour behaviour = state.behaviour();
    const Device_Model::Outcome outcome = model.handle(frame.bytes.data(), frame.bytes.size(), behaviour, answer);
    ++frames_since_plug;
    record({.read_ns = to_ns(frame.read_at), .handled_ns = to_ns(Clock::now()), .kind = outcome.kind,
            .check = Receive_Result::FRAME_OK, .length = static_cast<std::uint16_t>(frame.bytes.size()),
            .reply_quota = outcome.reply_quota, .messages = outcome.messages});
    if (answer.length == 0) return;
    injector.apply(answer.bytes.data(), answer.length, behaviour.faults, wire);
    if (wire.empty()) {
        counters.sdo_answers_lost += outcome.answers;
        return;
    }
    schedule(wire, frame.handle_at + behaviour.answer_delay, behaviour);
}

void Link_Runner::schedule(const std::vector<std::uint8_t>& bytes, Clock::time_point start,
                           const Behaviour& behaviour) {
    const std::vector<std::size_t> sizes = piece_sizes(bytes.size(), behaviour.split_pieces);
    const std::vector<Clock::time_point> due = pacer.send_times(start, sizes, behaviour.split_gap);
    std::size_t offset = 0;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(offset);
        outbox.push_back({{from, from + static_cast<std::ptrdiff_t>(sizes[i])}, 0, due[i]});
        offset += sizes[i];
    }
}

void Link_Runner::write_due(Clock::time_point now) {
    while (link && !write_blocked && !outbox.empty() && outbox.front().due <= now) {
        Pending_Write& piece = outbox.front();
        const ssize_t put =
            ::write(link->master_fd(), piece.bytes.data() + piece.written, piece.bytes.size() - piece.written);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno == EAGAIN) {
            write_blocked = true;
        } else if (put < 0) {
            ++counters.write_errors;
            outbox.pop_front();
        } else {
            counters.bytes_out += static_cast<std::uint64_t>(put);
            piece.written += static_cast<std::size_t>(put);
            if (piece.written == piece.bytes.size()) outbox.pop_front();
        }
    }
}

void Link_Runner::expire_partial(Clock::time_point now) {
    if (!reassembler.holds_partial() || now - last_input_at < partial_frame_timeout) return;
    ++counters.partial_timeouts;
    reassembler.skip();
    last_input_at = now;
    extract_frames(now);
}

void Link_Runner::unplug() {
    const std::string slave = link->slave_path();
    link.reset();
    state.set_link(false, "");
    ++counters.unplugs;
    inbox.clear();
    outbox.clear();
    write_blocked = false;
    reassembler.clear();
    pacer.reset();
    model.reset();
    if (config.replug_after) replug_at = Clock::now() + *config.replug_after;
    if (log) log("unplugged: " + config.link_path + " (" + slave + ") closed");
}

void Link_Runner::replug() {
    replug_at.reset();
    plug();
    ++counters.replugs;
    if (log) log("replugged: " + config.link_path + " -> " + link->slave_path());
}

std::optional<Link_Runner::Clock::time_point> Link_Runner::next_deadline() const {
    std::optional<Clock::time_point> deadline;
    const auto consider = [&deadline](Clock::time_point at) {
        if (!deadline || at < *deadline) deadline = at;
    };
    if (!inbox.empty()) consider(inbox.front().handle_at);
    if (!outbox.empty() && !write_blocked) consider(outbox.front().due);
    if (reassembler.holds_partial()) consider(last_input_at + partial_frame_timeout);
    if (!link && replug_at) consider(*replug_at);
    if (trace_dirty) consider(last_flush + trace_flush_period);
    return deadline;
}

void Link_Runner::wait(std::optional<Clock::time_point> deadline) {
    std::array<pollfd, 2> fds{{{state.wake_fd(), POLLIN, 0}, {-1, 0, 0}}};
    if (link) {
        const bool room = inbox.size() < max_waiting_frames;
        fds[1] = {link->master_fd(), static_cast<short>((room ? POLLIN : 0) | (write_blocked ? POLLOUT : 0)), 0};
    }
    timespec timeout{};
    if (deadline) {
        const auto left = std::max(Clock::duration::zero(), *deadline - Clock::now());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timeout = {static_cast<time_t>(ns / std::nano::den), static_cast<long>(ns % std::nano::den)};
    }
    if (::ppoll(fds.data(), fds.size(), deadline ? &timeout : nullptr, nullptr) <= 0) return;
    if (fds[0].revents != 0) state.drain_wake();
    if (fds[1].revents & POLLOUT) write_blocked = false;
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) read_input();
}

void Link_Runner::record(const Trace_Entry& entry) {
    if (config.trace_memory != 0) new_entries.push_back(entry);
    if (!trace_file.is_open()) return;
    entry.write(trace_file);
    trace_dirty = true;
}

void Link_Runner::flush_trace(Clock::time_point now) {
    if (!trace_dirty || now - last_flush < trace_flush_period) return;
    trace_file.flush();
    trace_dirty = false;
    last_flush = now;
}

void Link_Runner::publish() {
    counters.discarded_bytes = reassembler.discarded_bytes();
    state.publish(counters, model.last_rpdo(), new_entries);
}

}  // namespace Quorin_Tools::Devsim
