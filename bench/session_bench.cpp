// The link session against the simulated device, measured from the device's side: how close the
// RPDO frames keep to the PDO schedule, how many TPDO answers reach the sink and how old they are
// then, and how many SDO messages go through the session and back per second, with PDO off and
// at 500 Hz. Next to it, the same schedule figures for a bare absolute-deadline timer loop (an
// Asio system_timer, as the session's PDO timer) on this machine that writes the same RPDO frame
// to a simulator of its own, so that the session's jitter reads as a ratio to the machine's. The
// session's RPDO source, called right before each RPDO write, gives its send times, so that the
// time to the device splits into the session's own lateness and the pty and simulator's transit.
//
// Schedule error: each event's time minus anchor + k * period, the anchor putting the earliest
// event of a slice exactly on schedule, so that every error is >= 0 and a constant delay (the
// timer's least lateness, the pty's transit) drops out. Times at the simulator (its trace's
// read_ns, steady clock) are mapped onto the system clock the session schedules by, linearly
// between two readings of both, so that a slewed system clock adds no drift. Interval error:
// |gap between consecutive events - period|. Bare timer and session alternate in slices, so that
// the machine's changing load falls on both alike; the first periods of each slice are left out.
// TPDO answers: the simulator numbers them 1, 2, ... and answers every request, so answer c
// belongs to the c-th request; 'in time' means in the sink before the next cycle's RPDO event.
// SDO traffic: the transmit queue kept topped up with numbered messages, the device's echoes
// dequeued and checked for order; after the window, the answers drain.
//
// Usage: quorin_session_bench [--seconds N] [--slices N] [--sdo-seconds N] [--tpdo-bytes N] [--quick] [--load]
#include <fcntl.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/system_timer.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "rt_serial/control/Session.hpp"
#include "rt_serial/datalink/Frame_Builder.hpp"
#include "rt_serial/datalink/Protocol_Bitmap.hpp"
#include "rt_serial/datalink/Raw_Frame.hpp"
#include "rt_serial/protocol/SPB_Queue.hpp"
#include "server/Thread_Priority.hpp"
#include "support/Bench_Figures.hpp"
#include "support/Server_Process.hpp"
#include "support/Udp_Client.hpp"
#include "tools/devsim/Device_Simulator.hpp"
#include "utility/Logger.hpp"

namespace {

using namespace std::chrono_literals;
using Quorin_Bench::summarise;
using Quorin_Bench::Summary;
using Quorin_Core::RT_Serial::Control::Session;
using Quorin_Core::RT_Serial::Datalink::Raw_Frame;
namespace Devsim = Quorin_Tools::Devsim;
using Devsim::Frame_Kind;
using Steady = std::chrono::steady_clock;
using System = std::chrono::system_clock;
using Sample = std::vector<double>;
using Times = std::vector<std::int64_t>;  ///< nanoseconds since the clock's epoch
using Trace = std::vector<Devsim::Trace_Entry>;

constexpr std::uint32_t line_baud = 4000000;  ///< the simulator paces its line at this rate; the session opens at it
constexpr double line_bytes_per_second = line_baud / 10.0;  // 8N1
constexpr auto sdo_warmup = 500ms, answer_settle = 50ms, sdo_quiet_time = 300ms, sdo_drain_limit = 3000ms;
constexpr std::size_t warmup_periods = 5, rpdo_data_bytes = 32, max_tpdo_bytes = 616;  ///< 616: fits a 2 ms period
constexpr std::size_t queue_capacity = 16384, feed_batch = 1024;  ///< the transmit queue is topped up below a batch

struct Options {
    double pdo_seconds = 10, sdo_seconds = 5, slices = 0, tpdo_bytes = 32;  ///< slices 0: one per 2 s
    bool load = false;  ///< every core kept busy while measuring
};

Options parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        double* value = arg == "--seconds"       ? &options.pdo_seconds
                        : arg == "--sdo-seconds" ? &options.sdo_seconds
                        : arg == "--slices"      ? &options.slices
                        : arg == "--tpdo-bytes"  ? &options.tpdo_bytes
                                                 : nullptr;
        char* end = nullptr;
        if (arg == "--load") {
            options.load = true;
        } else if (arg == "--quick") {
            options.pdo_seconds = 2, options.sdo_seconds = 1;
        } else if (arg == "--help" || arg == "-h") {
            std::printf(
                "Usage: quorin_session_bench [--seconds N] [--slices N] [--sdo-seconds N] [--tpdo-bytes N] [--quick] [--load]\n"
                "  --seconds N      PDO time per rate, for the bare timer and the session each (default 10)\n"
                "  --slices N       alternate bare timer and session in N slices, each with a fresh session\n"
                "                   (default: one per 2 s; 1 = one continuous session per rate)\n"
                "  --sdo-seconds N  measured length of each SDO throughput run (default 5)\n"
                "  --tpdo-bytes N   TPDO answer data bytes, %zu..%zu (default 32)\n"
                "  --quick          2 s PDO time per rate and 1 s SDO runs\n"
                "  --load           keep every core busy with loops of the bench's own while measuring, and\n"
                "                   raise the simulator's thread as the session's\n",
                Devsim::Behaviour::min_tpdo_size_bytes, max_tpdo_bytes);
            std::exit(0);
        } else if (value == nullptr || i + 1 == argc) {
            throw std::invalid_argument("unknown option: " + arg);
        } else if (*value = std::strtod(argv[++i], &end); !(*value > 0) || *end != '\0') {
            throw std::invalid_argument(std::string("not a positive number: ") + argv[i]);
        }
    }
    options.tpdo_bytes = std::clamp(std::floor(options.tpdo_bytes), double(Devsim::Behaviour::min_tpdo_size_bytes),
                                    double(max_tpdo_bytes));
    return options;
}

template <class Time_Point>
std::int64_t ns(Time_Point at) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}
double us(std::int64_t nanos) { return static_cast<double>(nanos) / 1e3; }
std::chrono::nanoseconds nanoseconds(double seconds) { return std::chrono::nanoseconds(std::int64_t(seconds * 1e9)); }
void append(Sample& to, const Sample& more) { to.insert(to.end(), more.begin(), more.end()); }

/// Schedule and interval errors of one stream of periodic events, in us, over its slices.
struct Cycle_Samples {
    Sample schedule_us, interval_us;
    std::vector<std::array<double, 3>> slices;  ///< each slice's schedule error p50, p99 and interval error p50

    void add(Times times, std::int64_t period) {
        times.erase(times.begin(), times.begin() + std::ptrdiff_t(std::min(warmup_periods, times.size())));
        std::int64_t anchor = INT64_MAX;
        for (std::size_t k = 0; k < times.size(); ++k) anchor = std::min(anchor, times[k] - std::int64_t(k) * period);
        Sample schedule, interval;
        for (std::size_t k = 0; k < times.size(); ++k) {
            schedule.push_back(us(times[k] - std::int64_t(k) * period - anchor));
            if (k > 0) interval.push_back(us(std::llabs(times[k] - times[k - 1] - period)));
        }
        const Summary on_schedule = summarise(schedule);
        slices.push_back({on_schedule.p50, on_schedule.p99, summarise(interval).p50});
        append(schedule_us, schedule), append(interval_us, interval);
    }
};

/// The steady clock (the middle of two readings) and the system clock at one instant.
struct Clock_Pair {
    std::int64_t steady, system;
    static Clock_Pair now() {
        const auto before = ns(Steady::now());
        const auto system = ns(System::now());
        return {before + (ns(Steady::now()) - before) / 2, system};
    }
};

/// Maps steady-clock times onto the system clock, linearly between two readings of both.
struct Clock_Map {
    Clock_Pair first, last = Clock_Pair::now();
    /// How much faster the system clock ran than the steady clock (1e-6: one ppm).
    double drift() const {
        return double(last.system - last.steady - (first.system - first.steady)) / double(last.steady - first.steady);
    }
    Times operator()(Times times) const {
        for (auto& t : times) t += first.system - first.steady + std::int64_t(drift() * double(t - first.steady));
        return times;
    }
};

/// A simulator answering TPDO requests with a counter in `tpdo_bytes`, keeping every frame of a run in its trace.
/// Under --load the simulator's thread takes the session's priority ladder too, so that the
/// figures at the simulator measure the session and not the simulator's own wait for a core.
bool raise_simulator = false;

Devsim::Config device_config(const std::string& link_path, std::size_t tpdo_bytes) {
    Devsim::Config config;
    config.link_path = link_path, config.baud = line_baud, config.trace_memory = 1000000;
    config.behaviour.tpdo_mode = Devsim::TPDO_Mode::COUNTER;
    config.behaviour.tpdo_size = tpdo_bytes;
    if (raise_simulator)
        config.thread_start_hook = [] { Quorin_Core::raise_current_thread_priority("Simulator thread", " in the bench"); };
    return config;
}

Times read_times(const Trace& trace, Frame_Kind kind) {
    Times times;
    for (const auto& entry : trace)
        if (entry.kind == kind) times.push_back(std::int64_t(entry.read_ns));
    return times;
}

/// From the sending of each frame to the simulator's reading of it (both steady clock), matched by order, in us.
Sample transit(const Times& sent, const Times& read) {
    Sample transit;
    for (std::size_t k = warmup_periods; k < std::min(sent.size(), read.size()); ++k)
        transit.push_back(us(read[k] - sent[k]));
    return transit;
}

/// A PDO frame with `data_bytes` of data and no reply quota, padding included.
std::vector<std::uint8_t> pdo_frame(std::uint8_t source_id, std::uint8_t destination_id, std::size_t data_bytes) {
    std::vector<std::uint8_t> frame(Session::frame_buffer_bytes), data(data_bytes, 0x5A);
    std::size_t length = 0;
    Quorin_Core::RT_Serial::Datalink::Frame_Builder(source_id, destination_id, true)
        .build(frame.data(), Quorin_Core::RT_Serial::Payload::pdo_protocol, data.data(), data.size(), 0, length);
    frame.resize(length);
    return frame;
}

/// The session's PDO handlers, called on its thread: the RPDO source stamps each send (right
/// before the frame is written), the TPDO sink each answer's arrival and counter. Room is
/// reserved up front, so that neither allocates there.
struct Probes : Session::Base_RPDO_Sync_Write, Session::Base_TPDO_Sync_Read {
    explicit Probes(std::size_t expected) {
        sent.reserve(expected), arrivals.reserve(expected), counters.reserve(expected);
    }
    void operator()(std::uint8_t* data, std::size_t* size) override {
        sent.push_back(ns(Steady::now()));
        std::fill_n(data, *size = rpdo_data_bytes, 0x5A);
    }
    void operator()(const std::uint8_t* data, std::size_t size) override {
        arrivals.push_back(ns(Steady::now()));
        std::uint32_t counter = 0;
        for (std::size_t i = 0; i < sizeof counter && i < size; ++i) counter |= std::uint32_t{data[i]} << (8 * i);
        counters.push_back(counter);
    }
    Times sent, arrivals;
    std::vector<std::uint32_t> counters;
};

/// The TPDO side of PDO runs: requests the simulator read, answers it sent, answers delivered
/// to the sink (in time, counters skipped or repeated); in us, each answer's age from its
/// request's reading to the sink call, and the simulator's time from reading to handling.
struct Tpdo_Samples {
    std::uint64_t requests = 0, sent = 0, delivered = 0, in_time = 0, gaps = 0, repeats = 0;
    Sample age_us, device_us;

    void add(const Trace& trace, const Probes& sink, std::uint64_t answers_sent, std::int64_t period) {
        const Times requests_ns = read_times(trace, Frame_Kind::TPDO_REQUEST);
        requests += requests_ns.size(), sent += answers_sent, delivered += sink.counters.size();
        for (std::size_t i = 0; i < sink.counters.size(); ++i) {
            const std::uint32_t counter = sink.counters[i];
            if (i > 0 && counter > sink.counters[i - 1])
                gaps += counter - sink.counters[i - 1] - 1;
            else if (i > 0)
                ++repeats;
            if (counter == 0 || counter > requests_ns.size()) continue;
            age_us.push_back(us(sink.arrivals[i] - requests_ns[counter - 1]));
            in_time += age_us.back() < us(period) / 2;
        }
        for (const auto& entry : trace)
            if (entry.kind == Frame_Kind::TPDO_REQUEST)
                device_us.push_back(us(std::int64_t(entry.handled_ns - entry.read_ns)));
    }
};

/// One PDO rate and method over its slices. `local`: the bare timer's wake-ups or the session's
/// RPDO sends (system clock); `rpdo`, `tpdo_request`: their frames at the simulator.
struct Pdo_Samples {
    Sample lateness_us, transit_us;  ///< bare timer: wake-up - deadline; frame written -> read by the simulator
    Cycle_Samples local, rpdo, tpdo_request;
    Tpdo_Samples tpdo;
    double drift_ppm = 0;  ///< largest clock drift of a slice

    void add_rpdo(const Times& local_times, const Times& written, const Trace& trace, const Clock_Map& map,
                  std::int64_t period) {
        local.add(local_times, period);
        rpdo.add(map(read_times(trace, Frame_Kind::RPDO)), period);
        append(transit_us, transit(written, read_times(trace, Frame_Kind::RPDO)));
        drift_ppm = std::max(drift_ppm, std::fabs(map.drift()) * 1e6);
    }
};

/// A slice of the bare timer: absolute deadlines start + k * period, the RPDO frame written on each wake-up.
void run_bare_slice(const std::string& link, std::chrono::nanoseconds period, std::chrono::nanoseconds duration,
                    Pdo_Samples& bare) {
    Devsim::Device_Simulator simulator(device_config(link, 32));
    simulator.start();
    const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) throw std::runtime_error("cannot open " + link);
    const auto frame = pdo_frame(Raw_Frame::host_id, Raw_Frame::device_id, rpdo_data_bytes);
    Sample lateness;
    Times woke, written;
    lateness.reserve(duration / period + 1), woke.reserve(duration / period + 1),
        written.reserve(duration / period + 1);
    boost::asio::io_context io_context;
    boost::asio::system_timer timer(io_context);
    const Clock_Pair first = Clock_Pair::now();
    auto deadline = System::now() + std::chrono::duration_cast<System::duration>(period);
    const auto end = deadline + std::chrono::duration_cast<System::duration>(duration);
    const auto arm = [&](auto& self) -> void {
        timer.expires_at(deadline);
        timer.async_wait([&](boost::system::error_code error) {
            if (error) return;
            woke.push_back(ns(System::now()));
            lateness.push_back(us(woke.back() - ns(deadline)));
            written.push_back(ns(Steady::now()));
            [[maybe_unused]] const auto n = ::write(fd, frame.data(), frame.size());  // a lost frame: a missing period
            if ((deadline += std::chrono::duration_cast<System::duration>(period)) < end) self(self);
        });
    };
    arm(arm);
    io_context.run();
    std::this_thread::sleep_for(answer_settle);  // the last frame's way to the simulator
    const Clock_Map map{first};
    ::close(fd);
    lateness.erase(lateness.begin(), lateness.begin() + std::ptrdiff_t(std::min(warmup_periods, lateness.size())));
    append(bare.lateness_us, lateness);
    bare.add_rpdo(woke, written, simulator.trace(), map, period.count());
}

/// Receive time-outs and size errors of the session; frames the simulator rejected, SDO answers
/// it lost, SDO answers it still held at the end for want of a reply quota with room for them.
using Health = std::array<std::uint64_t, 5>;

/// SDO traffic in the measured window (steady clock): answers dequeued and the port's bytes per
/// second; SDO frames the simulator read per second, messages per frame and the share of frames
/// it read before it had handled the previous answered frame (SDO or TPDO request), which a
/// session waiting for each answer cannot send save after a time-out. Then, after the drain:
/// messages the session took, answers dequeued, answers missed, and answers out of order or malformed.
struct Sdo_Figures {
    std::int64_t from_ns = 0, to_ns = 0;
    double messages_per_second = 0, tx_per_second = 0, rx_per_second = 0;
    double frames_per_second = 0, messages_per_frame = 0, overlapped = 0;
    std::uint64_t taken = 0, answered = 0, gaps = 0, bad = 0;

    void add_frames(const Trace& trace) {
        std::uint64_t frames = 0, messages = 0, overlaps = 0;
        const Devsim::Trace_Entry* previous = nullptr;
        for (const auto& entry : trace) {
            if (entry.kind != Frame_Kind::SDO && entry.kind != Frame_Kind::TPDO_REQUEST) continue;
            const auto read = std::int64_t(entry.read_ns);
            if (entry.kind == Frame_Kind::SDO && read >= from_ns && read < to_ns)
                ++frames, messages += entry.messages, overlaps += previous && entry.read_ns < previous->handled_ns;
            previous = &entry;
        }
        frames_per_second = double(frames) * 1e9 / double(to_ns - from_ns);
        messages_per_frame = frames ? double(messages) / double(frames) : 0;
        overlapped = frames ? double(overlaps) / double(frames) : 0;
    }
};

/// Runs the SDO traffic of `bytes` messages (8: control byte 0x23, EPID 7; 64: 0x3B, length byte
/// 59; a sequence number in bytes 1 to 3) for the warm-up, the window and the drain.
Sdo_Figures drive_sdo(const Session& session, SPB_Queue& tx, SPB_Queue& rx, std::size_t bytes,
                      std::chrono::nanoseconds window) {
    Sdo_Figures sdo;
    std::uint32_t sent = 0, expected = 0;
    std::int64_t last_answer = ns(Steady::now());
    const auto pump = [&](bool feed) {  // takes every answer, then tops the transmit queue up
        std::uint8_t answer[1024] = {};
        for (std::size_t size; (size = rx.dequeue(sizeof answer, answer)) > 0; ++sdo.answered) {
            const std::uint32_t sequence = answer[1] | answer[2] << 8 | answer[3] << 16;
            if (size != bytes || sequence < expected)
                ++sdo.bad;
            else
                sdo.gaps += sequence - expected, expected = sequence + 1;
            last_answer = ns(Steady::now());
        }
        for (std::size_t i = 0, top_up = feed && tx.count() < feed_batch ? feed_batch : 0; i < top_up; ++i) {
            const auto message = Quorin_Test::Udp_Client::sdo_request(sent++, bytes, bytes == 8 ? 0x23 : 0x3B,
                                                                      std::uint8_t(bytes == 8 ? 7 : bytes - 5));
            tx.enqueue(message.data(), message.size());
        }
        std::this_thread::sleep_for(1ms);  // polling both queues
    };
    const auto& port = session.port_diagnostic();
    const auto mark = [&](std::int64_t& at) {
        at = ns(Steady::now());
        return std::array<double, 3>{double(sdo.answered), double(port.tx_bytes), double(port.rx_bytes)};
    };
    for (const auto end = Steady::now() + sdo_warmup; Steady::now() < end;) pump(true);
    const auto from = mark(sdo.from_ns);
    for (const auto end = Steady::now() + window; Steady::now() < end;) pump(true);
    const auto to = mark(sdo.to_ns);
    const double seconds = double(sdo.to_ns - sdo.from_ns) / 1e9;
    sdo.messages_per_second = (to[0] - from[0]) / seconds;
    sdo.tx_per_second = (to[1] - from[1]) / seconds, sdo.rx_per_second = (to[2] - from[2]) / seconds;
    last_answer = ns(Steady::now());
    for (const auto end = Steady::now() + sdo_drain_limit; Steady::now() < end && sdo.answered < sent;) {
        if (tx.count() == 0 && ns(Steady::now()) - last_answer > std::chrono::nanoseconds(sdo_quiet_time).count())
            break;
        pump(false);
    }
    sdo.taken = sent - tx.count();
    return sdo;
}

/// A run: PDO at pdo_hz (0: off) and SDO traffic of sdo_bytes messages, or none (0): then the
/// session alternates in slices with the bare timer.
struct Run {
    float pdo_hz = 0;
    std::size_t sdo_bytes = 0, slices = 1;
    Pdo_Samples bare, session;
    Sdo_Figures sdo;
    Health health{};

    std::string name() const {
        return (pdo_hz > 0 ? "PDO " + std::to_string(int(pdo_hz)) + " Hz" : std::string("PDO off")) +
               (sdo_bytes > 0 ? ", SDO " + std::to_string(sdo_bytes) + " B" : "");
    }
};

/// A fresh simulator and session for `duration` (SDO runs: after the warm-up); figures go into `run`.
void run_session(const std::string& link, std::chrono::nanoseconds duration, std::size_t tpdo_bytes, Run& run) {
    Devsim::Device_Simulator simulator(device_config(link, tpdo_bytes));
    simulator.start();
    SPB_Queue tx(queue_capacity), rx(queue_capacity);
    Session session(link, line_baud, false, tx, rx);
    // As the server starts it: the session thread on the PDO thread's priority ladder.
    session.set_thread_start_hook([] { Quorin_Core::raise_current_thread_priority("Session thread", " on [bench]"); });
    const double seconds = std::chrono::duration<double>(duration + sdo_warmup + sdo_drain_limit + 1s).count();
    Probes probes(std::size_t(seconds * std::max(run.pdo_hz, 1.0f)) + 1);
    session.set_tpdo_sync_read_handler(probes);
    session.set_rpdo_sync_write_handler(probes);
    if (run.pdo_hz > 0) session.set_pdo_config(run.pdo_hz);
    const Clock_Pair first = Clock_Pair::now();
    session.start();
    if (run.pdo_hz > 0) session.enable_pdo();
    if (run.sdo_bytes == 0)
        std::this_thread::sleep_for(duration);
    else
        run.sdo = drive_sdo(session, tx, rx, run.sdo_bytes, duration);
    session.disable_pdo();
    std::this_thread::sleep_for(answer_settle);  // for the last TPDO answer
    const Clock_Map map{first};
    session.reset_tpdo_sync_read_handler();
    session.stop();
    session.reset_rpdo_sync_write_handler();
    const Trace trace = simulator.trace();
    const auto counters = simulator.counters();
    if (run.pdo_hz > 0) {
        const auto period = std::int64_t(session.pdo_period_ns());
        run.session.add_rpdo(map(probes.sent), probes.sent, trace, map, period);
        run.session.tpdo_request.add(map(read_times(trace, Frame_Kind::TPDO_REQUEST)), period);
        run.session.tpdo.add(trace, probes, counters.tpdo_answers, period);
    }
    if (run.sdo_bytes > 0) run.sdo.add_frames(trace);
    const auto& port = session.port_diagnostic();
    const Health more{port.rx_timeouts, port.rx_errors,
                      counters.length_errors + counters.header_errors + counters.source_id_errors +
                          counters.destination_id_errors + counters.crc_errors + counters.payload_errors,
                      counters.sdo_answers_lost, counters.sdo_held_back};
    for (std::size_t i = 0; i < run.health.size(); ++i) run.health[i] += more[i];
}

/// A new path in `dir` for each simulator's link.
std::string next_link(const Quorin_Test::Temp_Dir& dir) {
    static int count = 0;
    return dir.path() + "/device" + std::to_string(++count);
}

/// Runs `run`. Without SDO traffic, bare timer and session alternate in slices (by default one
/// per 2 s), each warmup_periods longer than its share, so that the machine's load falls on both alike.
Run measure(float pdo_hz, std::size_t sdo_bytes, const Options& options, const Quorin_Test::Temp_Dir& links) {
    const double slices = sdo_bytes > 0         ? 1
                          : options.slices >= 1 ? std::floor(options.slices)
                                                : std::max(1.0, std::round(options.pdo_seconds / 2));
    Run run;
    run.pdo_hz = pdo_hz, run.sdo_bytes = sdo_bytes, run.slices = std::size_t(slices);
    const auto period = nanoseconds(pdo_hz > 0 ? 1 / pdo_hz : 0);
    const auto duration = sdo_bytes > 0
                              ? nanoseconds(options.sdo_seconds)
                              : nanoseconds(options.pdo_seconds / slices) + period * std::int64_t(warmup_periods);
    for (std::size_t i = 0; i < run.slices; ++i) {
        std::cerr << "  running: " << run.name();
        if (sdo_bytes == 0) std::cerr << ", slice " << i + 1 << " of " << run.slices << ": bare timer, then session";
        std::cerr << std::endl;
        if (sdo_bytes == 0) run_bare_slice(next_link(links), period, duration, run.bare);
        run_session(next_link(links), duration, std::size_t(options.tpdo_bytes), run);
    }
    return run;
}

// ---- report ----------------------------------------------------------------------------------

unsigned long long ull(std::uint64_t value) { return value; }
double share(std::uint64_t part, std::uint64_t whole) { return whole ? 100.0 * double(part) / double(whole) : 0; }
double ratio(double a, double b) { return b > 0 ? a / b : 0; }

void print_row(const std::string& name, const Sample& sample, const Sample* interval = nullptr) {
    const Summary s = summarise(sample), i = interval ? summarise(*interval) : Summary{};
    std::printf("  %-38s %7zu  %7.1f %8.1f %8.1f", name.c_str(), s.count, s.p50, s.p99, s.max);
    std::printf(interval ? "  %7.1f %8.1f %8.1f\n" : "\n", i.p50, i.p99, i.max);
}
void print_row(const std::string& name, const Cycle_Samples& samples) {
    print_row(name, samples.schedule_us, &samples.interval_us);
}
void print_slices(const std::string& name, const Cycle_Samples& samples) {
    if (samples.slices.size() < 2) return;
    std::printf("      %-34s", name.c_str());
    for (const auto& slice : samples.slices) std::printf(" %.0f/%.0f/%.0f", slice[0], slice[1], slice[2]);
    std::printf("\n");
}
void print_ratio(const char* what, const Sample& session, const Sample& bare) {
    const Summary s = summarise(session), b = summarise(bare);
    std::printf("    %-44s p50 %5.1fx  p99 %5.1fx  max %5.1fx\n", what, ratio(s.p50, b.p50), ratio(s.p99, b.p99),
                ratio(s.max, b.max));
}

void print_pdo_section(const std::vector<Run>& runs) {
    std::printf(
        "\n1. PDO period error, us: schedule error (against first + k*period, anchored on a slice's earliest\n"
        "   event) and interval error (|gap - period|), the first %zu periods of a slice left out. At simulator:\n"
        "   frames in its trace, on the system clock. Per slice: schedule p50/p99/interval p50.\n",
        warmup_periods);
    std::printf("  %-38s %7s  %-25s  %-25s\n", "", "", "schedule error (us)", "interval error (us)");
    std::printf("  %-38s %7s  %7s %8s %8s  %7s %8s %8s\n", "", "periods", "p50", "p99", "max", "p50", "p99", "max");
    double drift = 0;
    for (const Run& run : runs) {
        if (run.sdo_bytes > 0) continue;
        std::printf("  %.0f Hz (period %.0f us)\n", run.pdo_hz, 1e6 / run.pdo_hz);
        print_row("  bare timer: wake-up - deadline", run.bare.lateness_us);
        print_row("  bare timer: wake-ups", run.bare.local);
        print_row("  session: RPDO sends (in process)", run.session.local);
        print_row("  bare timer: its frames at simulator", run.bare.rpdo);
        print_row("  session: RPDO at simulator", run.session.rpdo);
        print_row("  session: TPDO request at simulator", run.session.tpdo_request);
        print_row("  bare timer: write -> simulator read", run.bare.transit_us);
        print_row("  session: RPDO send -> simulator read", run.session.transit_us);
        print_slices("bare wake-ups, per slice:", run.bare.local);
        print_slices("session sends, per slice:", run.session.local);
        print_slices("bare frames, per slice:", run.bare.rpdo);
        print_slices("session RPDO, per slice:", run.session.rpdo);
        drift = std::max({drift, run.bare.drift_ppm, run.session.drift_ppm});
    }
    std::printf("  500 Hz with SDO traffic (section 3)\n");
    for (const Run& run : runs)
        if (run.sdo_bytes > 0 && run.pdo_hz > 0) {
            print_row("  session: RPDO sends, SDO " + std::to_string(run.sdo_bytes) + " B", run.session.local);
            print_row("  session: RPDO at simulator, SDO " + std::to_string(run.sdo_bytes) + " B", run.session.rpdo);
        }
    std::printf("\n  Session jitter as a ratio to the machine's own (schedule error):\n");
    for (const Run& run : runs)
        if (run.sdo_bytes == 0) {
            std::printf("  %.0f Hz\n", run.pdo_hz);
            print_ratio("session sends / bare wake-ups (in process)", run.session.local.schedule_us,
                        run.bare.local.schedule_us);
            print_ratio("session RPDO / bare frames (at simulator)", run.session.rpdo.schedule_us,
                        run.bare.rpdo.schedule_us);
        }
    std::printf("  (system clock ran at most %.2f ppm off the steady clock in a slice; corrected for)\n", drift);
}

void print_report(const Options& options, const std::vector<Run>& runs, const std::string& load_before,
                  double seconds) {
    std::printf("\nQuorin session benchmark: session and simulated device over a pty, line paced at %u baud\n",
                line_baud);
    std::printf("  %u CPUs; load average (1/5/15 min) before %s, after %s; %.0f s in all\n",
                std::thread::hardware_concurrency(), load_before.c_str(), Quorin_Bench::load_average().c_str(),
                seconds);
    std::printf(
        "  PDO: %.1f s per rate and method, in %zu alternating slices; SDO runs %.1f s each after a %.1f s\n"
        "  warm-up; RPDO data %zu B, TPDO answer data %zu B\n",
        options.pdo_seconds, runs.front().slices, options.sdo_seconds,
        std::chrono::duration<double>(sdo_warmup).count(), rpdo_data_bytes, std::size_t(options.tpdo_bytes));
    print_pdo_section(runs);

    const std::size_t answer_bytes =
        pdo_frame(Raw_Frame::device_id, Raw_Frame::host_id, std::size_t(options.tpdo_bytes)).size();
    std::printf(
        "\n2. TPDO answers. In time: in the sink within half a period of its request's reading by the simulator.\n"
        "   Age: request read -> answer in the sink, us; gaps/repeats: answer counters skipped/delivered again;\n"
        "   dev: request read -> handled by the simulator, us; the answer (%zu bytes) then takes %.0f us.\n",
        answer_bytes, double(answer_bytes) * 1e6 / line_bytes_per_second);
    std::printf("  %-22s %8s %8s %9s %8s %8s %6s %6s  %8s %8s %8s  %7s %7s\n", "run", "requests", "sent", "delivered",
                "share", "in time", "gaps", "repeat", "age p50", "age p99", "age max", "dev p50", "dev p99");
    for (const Run& run : runs) {
        const Tpdo_Samples& t = run.session.tpdo;
        const Summary age = summarise(t.age_us), device = summarise(t.device_us);
        if (run.pdo_hz > 0)
            std::printf("  %-22s %8llu %8llu %9llu %7.1f%% %7.1f%% %6llu %6llu  %8.1f %8.1f %8.1f  %7.1f %7.1f\n",
                        run.name().c_str(), ull(t.requests), ull(t.sent), ull(t.delivered),
                        share(t.delivered, t.requests), share(t.in_time, t.requests), ull(t.gaps), ull(t.repeats),
                        age.p50, age.p99, age.max, device.p50, device.p99);
    }

    std::printf(
        "\n3. SDO throughput through the session and back. Line: the port's bytes of every frame kind, against\n"
        "   %.0f B/s per direction. Overlap: SDO frames sent before the device had received the previous\n"
        "   answered frame. Taken, answered: after a drain of up to %.0f s. Bad: out of order or malformed.\n",
        line_bytes_per_second, std::chrono::duration<double>(sdo_drain_limit).count());
    std::printf("  %-11s %6s %8s %9s %7s %6s %9s %5s %9s %5s %7s %8s %8s %6s %4s\n", "run", "msg", "msgs/s", "payload",
                "frames/s", "msg/fr", "line tx", "", "line rx", "", "overlap", "taken", "answered", "gaps", "bad");
    for (const Run& run : runs) {
        const Sdo_Figures& sdo = run.sdo;
        if (run.sdo_bytes > 0)
            std::printf(
                "  %-11s %4zu B %8.0f %9.0f %7.0f %6.1f %9.0f %4.0f%% %9.0f %4.0f%% %6.1f%% %8llu %8llu %6llu %4llu\n",
                run.pdo_hz > 0 ? "PDO 500 Hz" : "PDO off", run.sdo_bytes, sdo.messages_per_second,
                sdo.messages_per_second * double(run.sdo_bytes), sdo.frames_per_second, sdo.messages_per_frame,
                sdo.tx_per_second, 100 * sdo.tx_per_second / line_bytes_per_second, sdo.rx_per_second,
                100 * sdo.rx_per_second / line_bytes_per_second, 100 * sdo.overlapped, ull(sdo.taken),
                ull(sdo.answered), ull(sdo.gaps), ull(sdo.bad));
    }

    std::printf(
        "\n4. Link health per run: the session's receive time-outs and size errors, frames the simulator\n"
        "   rejected, SDO answers it dropped or still held at the end for want of reply quota (backlog).\n");
    std::printf("  %-22s %11s %10s %11s %17s %15s\n", "run", "rx timeouts", "rx errors", "bad frames",
                "sim answers lost", "device backlog");
    for (const Run& run : runs)
        std::printf("  %-22s %11llu %10llu %11llu %17llu %15llu\n", run.name().c_str(), ull(run.health[0]),
                    ull(run.health[1]), ull(run.health[2]), ull(run.health[3]), ull(run.health[4]));
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options options = parse_options(argc, argv);
        auto& logger = Quorin_Core::Utility::Logger::instance();
        logger.out = &std::cerr;  // the session's log lines stay out of the report
        logger.min_level = Quorin_Core::Utility::Log_Level::WARN;
        const Quorin_Test::Temp_Dir links;  // for the simulators' links
        const auto started = Steady::now();
        const std::string load_before = Quorin_Bench::load_average();
        const Quorin_Bench::Busy_Load busy(options.load);
        raise_simulator = options.load;
        std::vector<Run> runs;
        for (const float hz : {100.0f, 500.0f}) runs.push_back(measure(hz, 0, options, links));
        for (const float hz : {0.0f, 500.0f})
            for (const std::size_t bytes : {8, 64}) runs.push_back(measure(hz, bytes, options, links));
        print_report(options, runs, load_before, std::chrono::duration<double>(Steady::now() - started).count());
    } catch (const std::exception& error) {
        std::cerr << "quorin_session_bench: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
