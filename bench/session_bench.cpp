// The link session against the simulated device, measured from the device's side: how close the
// RPDO frames keep to the PDO schedule, how many TPDO answers reach the sink and how old they are
// then, and how many SDO messages go through the session and back per second, with PDO off and
// at 500 Hz. Next to it, the same schedule figures for a bare absolute-deadline timer loop on
// this machine that writes the same RPDO frame to a simulator of its own, so that the session's
// jitter reads as a ratio to the machine's. The session's RPDO source, called right before each
// RPDO write, gives its send times, so that the time to the device splits into the session's
// own lateness and the pty and simulator's transit.
//
// Usage: quorin_session_bench [--seconds N] [--slices N] [--sdo-seconds N] [--tpdo-bytes N] [--quick]
#include <fcntl.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/system_timer.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "rt_serial/control/Session.hpp"
#include "rt_serial/datalink/Frame_Builder.hpp"
#include "rt_serial/datalink/Protocol_Bitmap.hpp"
#include "rt_serial/datalink/Raw_Frame.hpp"
#include "rt_serial/protocol/SPB_Queue.hpp"
#include "tools/devsim/Device_Simulator.hpp"
#include "utility/Logger.hpp"

namespace {

using namespace std::chrono_literals;
using Quorin_Core::RT_Serial::Control::Session;
using Quorin_Tools::Devsim::Device_Simulator;
using Quorin_Tools::Devsim::Frame_Kind;
using Quorin_Tools::Devsim::Trace_Entry;
using Steady = std::chrono::steady_clock;
using System = std::chrono::system_clock;
using Nanoseconds = std::chrono::nanoseconds;

// ---- settings --------------------------------------------------------------------------------

constexpr std::uint32_t line_baud = 4000000;  ///< the simulator paces its line at this rate; the session opens at it
constexpr double line_bytes_per_second = line_baud / 10.0;  ///< 8N1: ten bits a byte
constexpr float slow_pdo_hz = 100.0f;
constexpr float fast_pdo_hz = 500.0f;
constexpr double default_pdo_seconds = 10;    ///< per rate, for the bare timer and for the session each
constexpr double default_sdo_seconds = 5;     ///< each SDO run, after its warm-up
constexpr double quick_pdo_seconds = 2;
constexpr double quick_sdo_seconds = 1;
constexpr double slice_seconds = 2;           ///< PDO runs alternate bare timer and session in slices this long
constexpr auto sdo_warmup = 500ms;            ///< SDO traffic runs this long before the measured window
constexpr auto answer_settle = 50ms;          ///< for the last TPDO answer after PDO stops
constexpr auto sdo_quiet_time = 300ms;        ///< no answer for this long ends the drain
constexpr auto sdo_drain_limit = 3s;          ///< longest wait for outstanding SDO answers
constexpr auto queue_poll = 1ms;              ///< feeder and consumer sleep this long when there is nothing to do
constexpr auto drain_poll = 10ms;             ///< the drain looks at the answers this often
constexpr std::size_t warmup_periods = 5;     ///< start-up periods of each slice left out of the schedule figures
constexpr std::size_t rpdo_data_bytes = 32;   ///< RPDO data the session (and the bare loop) sends
constexpr std::uint8_t rpdo_fill = 0x5A;
constexpr std::size_t default_tpdo_bytes = 32;  ///< TPDO answer data (counter pattern)
constexpr std::size_t max_tpdo_bytes_at_500_hz = 616;  ///< an exchange fits a 2 ms period up to this
constexpr std::size_t trace_entries = 1000000;  ///< simulator trace kept in memory: all frames of a run
constexpr std::size_t queue_capacity = 16384;   ///< messages each SDO queue holds
constexpr std::size_t feed_low_water = 1024;    ///< the feeder tops the transmit queue up below this
constexpr std::size_t feed_batch = 1024;        ///< messages added per top-up
constexpr std::size_t small_sdo_bytes = 8;      ///< control byte 0x23: fixed 8 bytes
constexpr std::size_t large_sdo_bytes = 64;     ///< control byte 0x3B with length byte 59
constexpr std::uint8_t small_sdo_code = 0x23;
constexpr std::uint8_t variable_sdo_code = 0x3B;
constexpr std::size_t variable_sdo_fixed_bytes = 5;  ///< 0x3B messages: 5 bytes plus the length byte's value
constexpr std::uint8_t bench_epid = 7;
constexpr std::size_t answer_buffer_bytes = 1024;
constexpr double us_per_line_byte = 1e6 / line_bytes_per_second;
constexpr double ns_per_us = 1e3;
constexpr double ns_per_s = 1e9;
constexpr double ppm = 1e6;

struct Options {
    double pdo_seconds = default_pdo_seconds;
    std::size_t slices = 0;  ///< 0: one per slice_seconds
    double sdo_seconds = default_sdo_seconds;
    std::size_t tpdo_bytes = default_tpdo_bytes;
};

void print_usage() {
    std::cout << "Usage: quorin_session_bench [--seconds N] [--slices N] [--sdo-seconds N] [--tpdo-bytes N] [--quick]\n"
                 "  --seconds N      PDO time per rate, for the bare timer and the session each (default 10)\n"
                 "  --slices N       alternate bare timer and session in N slices, each with a fresh session\n"
                 "                   (default: one per 2 s; 1 = one continuous session per rate)\n"
                 "  --sdo-seconds N  measured length of each SDO throughput run (default 5)\n"
                 "  --tpdo-bytes N   TPDO answer data bytes, "
              << Quorin_Tools::Devsim::Behaviour::min_tpdo_size_bytes << ".." << max_tpdo_bytes_at_500_hz
              << " (default 32)\n"
                 "  --quick          2 s PDO time per rate and 1 s SDO runs\n";
}

double positive_number(const char* text) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value > 0)) throw std::invalid_argument(std::string("not a positive number: ") + text);
    return value;
}

Options parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--quick") {
            options.pdo_seconds = quick_pdo_seconds;
            options.sdo_seconds = quick_sdo_seconds;
        } else if (arg == "--seconds" && has_value) {
            options.pdo_seconds = positive_number(argv[++i]);
        } else if (arg == "--slices" && has_value) {
            options.slices = static_cast<std::size_t>(positive_number(argv[++i]));
        } else if (arg == "--sdo-seconds" && has_value) {
            options.sdo_seconds = positive_number(argv[++i]);
        } else if (arg == "--tpdo-bytes" && has_value) {
            options.tpdo_bytes = static_cast<std::size_t>(positive_number(argv[++i]));
            options.tpdo_bytes = std::clamp(options.tpdo_bytes, Quorin_Tools::Devsim::Behaviour::min_tpdo_size_bytes,
                                            max_tpdo_bytes_at_500_hz);
        } else if (arg == "--help" || arg == "-h") {
            print_usage();
            std::exit(0);
        } else {
            throw std::invalid_argument("unknown option: " + arg);
        }
    }
    return options;
}

Nanoseconds to_duration(double seconds) { return Nanoseconds(static_cast<std::int64_t>(seconds * ns_per_s)); }

// ---- statistics ------------------------------------------------------------------------------

/// Median, 99th percentile (nearest rank) and maximum of a sample.
struct Summary {
    std::size_t count = 0;
    double p50 = 0;
    double p99 = 0;
    double max = 0;
};

double percentile(const std::vector<double>& sorted, double quantile) {
    const auto rank = static_cast<std::size_t>(std::ceil(quantile * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

Summary summarise(std::vector<double> values) {
    if (values.empty()) return {};
    std::sort(values.begin(), values.end());
    return {values.size(), percentile(values, 0.5), percentile(values, 0.99), values.back()};
}

/// Error of each time against the ideal schedule anchor + k * period (k = its index), with the
/// anchor chosen so that the earliest time is exactly on schedule: every error is >= 0, and a
/// constant delay (timer's least lateness, pty transit) drops out. In microseconds.
std::vector<double> schedule_error_us(const std::vector<std::int64_t>& times_ns, std::int64_t period_ns) {
    std::int64_t anchor = INT64_MAX;
    for (std::size_t k = 0; k < times_ns.size(); ++k)
        anchor = std::min(anchor, times_ns[k] - static_cast<std::int64_t>(k) * period_ns);
    std::vector<double> errors;
    errors.reserve(times_ns.size());
    for (std::size_t k = 0; k < times_ns.size(); ++k)
        errors.push_back(static_cast<double>(times_ns[k] - static_cast<std::int64_t>(k) * period_ns - anchor) / ns_per_us);
    return errors;
}

/// |interval between consecutive times - period|, in microseconds.
std::vector<double> interval_error_us(const std::vector<std::int64_t>& times_ns, std::int64_t period_ns) {
    std::vector<double> errors;
    for (std::size_t k = 1; k < times_ns.size(); ++k)
        errors.push_back(static_cast<double>(std::llabs(times_ns[k] - times_ns[k - 1] - period_ns)) / ns_per_us);
    return errors;
}

/// Schedule errors of one stream of periodic events, gathered over one or more slices.
struct Cycle_Samples {
    std::vector<double> schedule_us;  ///< against first + k * period
    std::vector<double> interval_us;  ///< consecutive-interval error
    std::vector<Summary> slices;      ///< each slice's schedule error
    std::vector<Summary> slice_intervals;  ///< each slice's interval error

    /// Adds one slice's event times, leaving out its first warmup_periods.
    void add(std::vector<std::int64_t> times_ns, std::int64_t period_ns) {
        const auto skip = std::min(warmup_periods, times_ns.size());
        times_ns.erase(times_ns.begin(), times_ns.begin() + static_cast<std::ptrdiff_t>(skip));
        const auto schedule = schedule_error_us(times_ns, period_ns);
        const auto interval = interval_error_us(times_ns, period_ns);
        schedule_us.insert(schedule_us.end(), schedule.begin(), schedule.end());
        interval_us.insert(interval_us.end(), interval.begin(), interval.end());
        slices.push_back(summarise(schedule));
        slice_intervals.push_back(summarise(interval));
    }
};

/// The summaries of a stream's samples.
struct Cycle_Figures {
    Summary schedule;
    Summary interval;
};

Cycle_Figures figures_of(const Cycle_Samples& samples) {
    return {summarise(samples.schedule_us), summarise(samples.interval_us)};
}

// ---- clocks ----------------------------------------------------------------------------------

std::int64_t ns_since_epoch(Steady::time_point at) {
    return std::chrono::duration_cast<Nanoseconds>(at.time_since_epoch()).count();
}
std::int64_t ns_since_epoch(System::time_point at) {
    return std::chrono::duration_cast<Nanoseconds>(at.time_since_epoch()).count();
}

/// A reading of both clocks at (nearly) the same instant.
struct Clock_Pair {
    std::int64_t steady_ns = 0;
    std::int64_t system_ns = 0;
};

Clock_Pair sample_clocks() {
    const auto before = ns_since_epoch(Steady::now());
    const auto system = ns_since_epoch(System::now());
    const auto after = ns_since_epoch(Steady::now());
    return {before + (after - before) / 2, system};
}

/// Maps the simulator's steady-clock trace times onto the system clock the session schedules
/// by, linearly between two readings, so that a slewed system clock adds no drift to the
/// schedule error.
class Steady_To_System {
public:
    Steady_To_System(Clock_Pair first, Clock_Pair last) : first(first), last(last) {}

    std::int64_t operator()(std::int64_t steady_ns) const {
        const double span = static_cast<double>(last.steady_ns - first.steady_ns);
        const double offset_change = static_cast<double>(offset(last) - offset(first));
        const double share = span > 0 ? static_cast<double>(steady_ns - first.steady_ns) / span : 0;
        return steady_ns + offset(first) + static_cast<std::int64_t>(offset_change * share);
    }
    /// How much faster the system clock ran than the steady clock, in parts per million.
    double drift_ppm() const {
        const double span = static_cast<double>(last.steady_ns - first.steady_ns);
        return span > 0 ? static_cast<double>(offset(last) - offset(first)) / span * ppm : 0;
    }

private:
    static std::int64_t offset(Clock_Pair pair) { return pair.system_ns - pair.steady_ns; }
    Clock_Pair first;
    Clock_Pair last;
};

// ---- the simulated device and its trace ------------------------------------------------------

/// A fresh directory for the simulator links, removed at the end.
class Link_Directory {
public:
    Link_Directory() {
        char pattern[] = "/tmp/quorin-session-bench-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot make a temporary directory");
        path = pattern;
    }
    ~Link_Directory() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    Link_Directory(const Link_Directory&) = delete;
    Link_Directory& operator=(const Link_Directory&) = delete;

    /// A new link path for each run.
    std::string next_link() { return path + "/device" + std::to_string(++links); }

private:
    std::string path;
    int links = 0;
};

Quorin_Tools::Devsim::Config device_config(const std::string& link_path, std::size_t tpdo_bytes) {
    Quorin_Tools::Devsim::Config config;
    config.link_path = link_path;
    config.baud = line_baud;
    config.trace_memory = trace_entries;
    config.behaviour.tpdo_mode = Quorin_Tools::Devsim::TPDO_Mode::COUNTER;
    config.behaviour.tpdo_size = tpdo_bytes;
    return config;
}

/// The steady-clock read times of the trace's frames of one kind, in order.
std::vector<std::int64_t> read_times(const std::vector<Trace_Entry>& trace, Frame_Kind kind) {
    std::vector<std::int64_t> times;
    for (const auto& entry : trace)
        if (entry.kind == kind) times.push_back(static_cast<std::int64_t>(entry.read_ns));
    return times;
}

std::vector<std::int64_t> mapped(std::vector<std::int64_t> times, const Steady_To_System& map) {
    for (auto& time : times) time = map(time);
    return times;
}

/// For each frame, from its sending (steady clock) to the simulator's reading of it, in
/// microseconds: the pty and the simulator thread's wake-up. Frames are matched by order.
std::vector<double> transit_us(const std::vector<std::int64_t>& sent_ns, const std::vector<std::int64_t>& read_ns) {
    std::vector<double> transit;
    for (std::size_t k = warmup_periods; k < std::min(sent_ns.size(), read_ns.size()); ++k)
        transit.push_back(static_cast<double>(read_ns[k] - sent_ns[k]) / ns_per_us);
    return transit;
}

/// A PDO frame with `data_bytes` of data and no reply quota, padding included.
std::vector<std::uint8_t> pdo_frame(std::uint8_t source_id, std::uint8_t destination_id, std::size_t data_bytes) {
    namespace Datalink = Quorin_Core::RT_Serial::Datalink;
    Datalink::Frame_Builder builder(source_id, destination_id, true);
    std::vector<std::uint8_t> buffer(Session::frame_buffer_bytes);
    const std::vector<std::uint8_t> data(data_bytes, rpdo_fill);
    std::size_t length = 0;
    if (builder.build(buffer.data(), Quorin_Core::RT_Serial::Payload::pdo_protocol, data.data(), data.size(), 0,
                      length) != Datalink::PACK_OK)
        throw std::runtime_error("cannot build a PDO frame of " + std::to_string(data_bytes) + " bytes");
    buffer.resize(length);
    return buffer;
}

/// The RPDO frame the session sends.
std::vector<std::uint8_t> rpdo_frame() {
    using Quorin_Core::RT_Serial::Datalink::Raw_Frame;
    return pdo_frame(Raw_Frame::host_id, Raw_Frame::device_id, rpdo_data_bytes);
}

/// Bytes of the simulator's TPDO answer frame for `data_bytes` of data.
std::size_t answer_frame_bytes(std::size_t data_bytes) {
    using Quorin_Core::RT_Serial::Datalink::Raw_Frame;
    return pdo_frame(Raw_Frame::device_id, Raw_Frame::host_id, data_bytes).size();
}

// ---- the bare timer loop ---------------------------------------------------------------------

/// What the bare timer runs give: their own lateness, and the schedule of their frames as the
/// simulator saw them.
struct Bare_Samples {
    std::vector<double> lateness_us;  ///< wake-up time minus deadline, system clock; warm-up left out
    Cycle_Samples wake;               ///< the wake-up times against their schedule
    Cycle_Samples frames;             ///< the frames' arrival at the simulator
    std::vector<double> transit_us;   ///< write -> simulator read
    double drift_ppm = 0;             ///< largest clock drift of a slice
};

/// An Asio system_timer with absolute deadlines deadline_k = start + k * period, as the
/// session's PDO timer; on each wake-up it records its lateness and writes the RPDO frame.
class Bare_Timer_Loop {
public:
    Bare_Timer_Loop(Nanoseconds period, Nanoseconds duration, int fd)
        : period(period), duration(duration), fd(fd), frame(rpdo_frame()) {
        const auto wakes = static_cast<std::size_t>(duration / period) + 1;
        lateness_us.reserve(wakes);
        wake_ns.reserve(wakes);
        written_ns.reserve(wakes);
    }

    void run() {
        deadline = System::now() + period;
        end = deadline + duration;
        arm();
        io_context.run();
    }

    std::vector<double> lateness_us;       ///< wake-up - deadline
    std::vector<std::int64_t> wake_ns;     ///< wake-up times, system clock
    std::vector<std::int64_t> written_ns;  ///< frame written, steady clock

private:
    void arm() {
        timer.expires_at(deadline);
        timer.async_wait([this](const boost::system::error_code& error) {
            if (!error) on_wake();
        });
    }

    void on_wake() {
        const auto woke = ns_since_epoch(System::now());
        lateness_us.push_back(static_cast<double>(woke - ns_since_epoch(deadline)) / ns_per_us);
        wake_ns.push_back(woke);
        written_ns.push_back(ns_since_epoch(Steady::now()));
        // A frame lost here shows as a missing period in the simulator's count.
        [[maybe_unused]] const auto written = ::write(fd, frame.data(), frame.size());
        deadline += std::chrono::duration_cast<System::duration>(period);
        if (deadline < end) arm();
    }

    boost::asio::io_context io_context;
    boost::asio::system_timer timer{io_context};
    const Nanoseconds period;
    const Nanoseconds duration;
    const int fd;
    const std::vector<std::uint8_t> frame;
    System::time_point deadline;
    System::time_point end;
};

/// Opens the simulator's server side as the session would, for writing.
int open_link(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    return fd;
}

/// One slice of the bare timer loop, with its own simulator, added to `samples`.
void run_bare_slice(const std::string& link_path, Nanoseconds period, Nanoseconds duration, Bare_Samples& samples) {
    Device_Simulator simulator(device_config(link_path, default_tpdo_bytes));
    simulator.start();
    const int fd = open_link(link_path);
    const Clock_Pair first = sample_clocks();
    Bare_Timer_Loop loop(period, duration, fd);
    loop.run();
    std::this_thread::sleep_for(answer_settle);  // the last frame's way to the simulator
    const Steady_To_System map(first, sample_clocks());
    ::close(fd);
    const auto trace = simulator.trace();
    simulator.stop();
    const auto skip = static_cast<std::ptrdiff_t>(std::min(warmup_periods, loop.lateness_us.size()));
    samples.lateness_us.insert(samples.lateness_us.end(), loop.lateness_us.begin() + skip, loop.lateness_us.end());
    samples.wake.add(loop.wake_ns, period.count());
    const auto arrivals = read_times(trace, Frame_Kind::RPDO);
    samples.frames.add(mapped(arrivals, map), period.count());
    const auto transit = transit_us(loop.written_ns, arrivals);
    samples.transit_us.insert(samples.transit_us.end(), transit.begin(), transit.end());
    samples.drift_ppm = std::max(samples.drift_ppm, std::fabs(map.drift_ppm()));
}

// ---- the session: TPDO sink and SDO traffic --------------------------------------------------

/// Records each TPDO answer's arrival (steady clock) and counter; called on the session thread.
class Tpdo_Recorder : public Session::Base_TPDO_Sync_Read {
public:
    explicit Tpdo_Recorder(std::size_t expected) {
        arrivals_ns.reserve(expected);
        counters.reserve(expected);
    }
    void operator()(const std::uint8_t* data, std::size_t size) override {
        arrivals_ns.push_back(ns_since_epoch(Steady::now()));
        std::uint32_t counter = 0;
        for (std::size_t i = 0; i < sizeof counter && i < size; ++i) counter |= std::uint32_t{data[i]} << (8 * i);
        counters.push_back(counter);
    }
    std::vector<std::int64_t> arrivals_ns;
    std::vector<std::uint32_t> counters;
};

/// Supplies the RPDO data of each cycle and records when the session asked for it (steady
/// clock): on the session thread, right before the frame is written, so it stands for the
/// session's send time.
class Rpdo_Stamper : public Session::Base_RPDO_Sync_Write {
public:
    explicit Rpdo_Stamper(std::size_t expected) { sent_ns.reserve(expected); }
    void operator()(std::uint8_t* data, std::size_t* size) override {
        sent_ns.push_back(ns_since_epoch(Steady::now()));
        std::fill_n(data, rpdo_data_bytes, rpdo_fill);
        *size = rpdo_data_bytes;
    }
    std::vector<std::int64_t> sent_ns;
};

/// Answers missing between delivered ones, and answers delivered again or out of order.
struct Sequence_Check {
    std::uint64_t gaps = 0;
    std::uint64_t repeats = 0;
};

Sequence_Check check_sequence(const std::vector<std::uint32_t>& counters) {
    Sequence_Check check;
    for (std::size_t i = 1; i < counters.size(); ++i) {
        if (counters[i] > counters[i - 1]) check.gaps += counters[i] - counters[i - 1] - 1;
        else ++check.repeats;
    }
    return check;
}

/// For each delivered TPDO answer, the time from the simulator's reading of the request it
/// answers to the sink call, in microseconds (both steady clock). The simulator numbers its
/// answers 1, 2, ... and answers every request, so answer c belongs to the c-th request.
std::vector<double> answer_age_us(const std::vector<std::int64_t>& requests_ns, const Tpdo_Recorder& sink) {
    std::vector<double> ages;
    for (std::size_t i = 0; i < sink.counters.size(); ++i) {
        const std::uint32_t counter = sink.counters[i];
        if (counter == 0 || counter > requests_ns.size()) continue;
        ages.push_back(static_cast<double>(sink.arrivals_ns[i] - requests_ns[counter - 1]) / ns_per_us);
    }
    return ages;
}

/// The TPDO side of PDO runs, gathered over one or more slices.
struct Tpdo_Samples {
    std::uint64_t requests = 0;      ///< TPDO requests the simulator read
    std::uint64_t answers_sent = 0;  ///< answers the simulator sent
    std::uint64_t delivered = 0;     ///< sink calls
    std::uint64_t in_time = 0;       ///< delivered less than half a period after the request: before the next RPDO
    Sequence_Check sequence;
    std::vector<double> age_us;      ///< request read by the simulator -> its answer in the sink
    std::vector<double> device_us;   ///< request read by the simulator -> handled (answer goes out then)

    void add(const std::vector<std::int64_t>& requests_ns, const Tpdo_Recorder& sink, std::uint64_t sent,
             std::int64_t period_ns) {
        requests += requests_ns.size();
        answers_sent += sent;
        delivered += sink.counters.size();
        const auto ages = answer_age_us(requests_ns, sink);
        const double deadline_us = static_cast<double>(period_ns) / 2 / ns_per_us;
        in_time += static_cast<std::uint64_t>(
            std::count_if(ages.begin(), ages.end(), [deadline_us](double age) { return age < deadline_us; }));
        age_us.insert(age_us.end(), ages.begin(), ages.end());
        const auto check = check_sequence(sink.counters);
        sequence.gaps += check.gaps;
        sequence.repeats += check.repeats;
    }
};

/// An SDO message of `size` bytes (8 or 64) carrying a 32-bit sequence number in bytes 1-3
/// and 5; byte 4 is the EPID (8 bytes) or the length byte (64 bytes).
std::vector<std::uint8_t> sdo_message(std::size_t size, std::uint32_t sequence) {
    std::vector<std::uint8_t> message(size, 0);
    const bool small = size == small_sdo_bytes;
    message[0] = small ? small_sdo_code : variable_sdo_code;
    message[1] = static_cast<std::uint8_t>(sequence);
    message[2] = static_cast<std::uint8_t>(sequence >> 8);
    message[3] = static_cast<std::uint8_t>(sequence >> 16);
    message[4] = small ? bench_epid : static_cast<std::uint8_t>(size - variable_sdo_fixed_bytes);
    message[5] = static_cast<std::uint8_t>(sequence >> 24);
    return message;
}

std::uint32_t sequence_of(const std::uint8_t* message) {
    return std::uint32_t{message[1]} | std::uint32_t{message[2]} << 8 | std::uint32_t{message[3]} << 16 |
           std::uint32_t{message[5]} << 24;
}

/// Keeps the transmit queue topped up with numbered messages and empties the receive queue,
/// checking that the answers come back in order. Two threads between construction and drain().
class Sdo_Traffic {
public:
    Sdo_Traffic(SPB_Queue& tx, SPB_Queue& rx, std::size_t message_bytes)
        : tx(tx), rx(rx), message_bytes(message_bytes), feeder([this] { feed(); }), consumer([this] { consume(); }) {}
    ~Sdo_Traffic() { drain(); }
    Sdo_Traffic(const Sdo_Traffic&) = delete;
    Sdo_Traffic& operator=(const Sdo_Traffic&) = delete;

    /// Answers taken from the receive queue so far.
    std::uint64_t answered() const { return answers.load(); }

    /// Stops feeding, waits for the outstanding answers (or the drain limit), stops consuming.
    void drain() {
        if (!feeding.exchange(false)) return;
        feeder.join();
        wait_for_quiet();
        consuming = false;
        consumer.join();
    }

    std::uint64_t sent() const { return next_sequence; }
    std::uint64_t gaps = 0;       ///< answers missing between received ones
    std::uint64_t disorder = 0;   ///< answers repeated or out of order
    std::uint64_t malformed = 0;  ///< answers of the wrong size

private:
    void feed() {
        while (feeding) {
            if (tx.count() < feed_low_water) {
                for (std::size_t i = 0; i < feed_batch; ++i) {
                    const auto message = sdo_message(message_bytes, next_sequence++);
                    tx.enqueue(message.data(), message.size());
                }
            }
            std::this_thread::sleep_for(queue_poll);
        }
    }

    void consume() {
        std::uint8_t answer[answer_buffer_bytes];
        while (consuming) {
            const auto size = rx.dequeue(sizeof answer, answer);
            if (size == 0) {
                std::this_thread::sleep_for(queue_poll);
                continue;
            }
            check(answer, size);
            last_answer_ns = ns_since_epoch(Steady::now());
            ++answers;
        }
    }

    void check(const std::uint8_t* answer, std::size_t size) {
        if (size != message_bytes) {
            ++malformed;
            return;
        }
        const std::uint32_t sequence = sequence_of(answer);
        if (sequence < expected) ++disorder;
        else gaps += sequence - expected;
        expected = std::max(expected, sequence + 1);
    }

    /// Returns once every message is answered, or the session has taken them all and no answer
    /// came for sdo_quiet_time, or after sdo_drain_limit.
    void wait_for_quiet() {
        const auto limit = Steady::now() + sdo_drain_limit;
        last_answer_ns = ns_since_epoch(Steady::now());
        while (Steady::now() < limit && answered() < sent()) {
            const auto quiet = Nanoseconds(ns_since_epoch(Steady::now()) - last_answer_ns.load());
            if (tx.count() == 0 && quiet > sdo_quiet_time) return;
            std::this_thread::sleep_for(drain_poll);
        }
    }

    SPB_Queue& tx;
    SPB_Queue& rx;
    const std::size_t message_bytes;
    std::atomic<bool> feeding{true};
    std::atomic<bool> consuming{true};
    std::atomic<std::uint64_t> answers{0};
    std::atomic<std::int64_t> last_answer_ns{0};
    std::uint32_t next_sequence = 0;  ///< the feeder's; read after it has ended
    std::uint32_t expected = 0;       ///< the consumer's
    std::thread feeder;
    std::thread consumer;
};

// ---- session runs ----------------------------------------------------------------------------

/// One session run: PDO at pdo_hz (0: off), SDO traffic of sdo_bytes messages (0: none).
struct Session_Run {
    float pdo_hz = 0;
    std::size_t sdo_bytes = 0;
    Nanoseconds duration{};  ///< measured time (SDO runs: after the warm-up)
    std::size_t tpdo_bytes = default_tpdo_bytes;
};

/// The PDO side of session runs, gathered over one or more slices.
struct Pdo_Samples {
    Cycle_Samples send;          ///< the session's RPDO sends (RPDO source calls) against their schedule
    Cycle_Samples rpdo;          ///< RPDO frames at the simulator against their schedule
    std::vector<double> transit_us;  ///< RPDO send -> simulator read
    Cycle_Samples tpdo_request;  ///< TPDO requests against theirs
    Tpdo_Samples tpdo;
    double drift_ppm = 0;        ///< largest clock drift of a slice
};

/// Signs of trouble on the link, summed over a run's slices.
struct Link_Health {
    std::uint64_t rx_timeouts = 0;       ///< the session's receive time-outs
    std::uint64_t rx_errors = 0;         ///< the session's receive size errors
    std::uint64_t bad_frames = 0;        ///< frames the simulator rejected
    std::uint64_t sim_answers_lost = 0;  ///< SDO answers the simulator could not send
    std::uint64_t device_backlog = 0;    ///< SDO answers the simulator still held at the end, for lack of reply quota

    void add(const Link_Health& other) {
        rx_timeouts += other.rx_timeouts;
        rx_errors += other.rx_errors;
        bad_frames += other.bad_frames;
        sim_answers_lost += other.sim_answers_lost;
        device_backlog += other.device_backlog;
    }
};

/// SDO traffic over the measured window, and its totals.
struct Sdo_Figures {
    std::int64_t from_ns = 0;  ///< the measured window, steady clock
    std::int64_t to_ns = 0;
    double messages_per_second = 0;  ///< answers dequeued
    double line_tx_per_second = 0;   ///< bytes the session wrote, frames of every kind
    double line_rx_per_second = 0;   ///< bytes the session read
    double frames_per_second = 0;    ///< SDO frames the simulator read
    double messages_per_frame = 0;
    double overlapped_share = 0;     ///< SDO frames sent before the previous exchange's request had arrived
    std::uint64_t sent = 0;          ///< messages the session took from the transmit queue
    std::uint64_t answered = 0;      ///< answers taken from the receive queue, drain included
    std::uint64_t gaps = 0;
    std::uint64_t disorder = 0;
    std::uint64_t malformed = 0;
};

struct Session_Outcome {
    std::optional<Sdo_Figures> sdo;
    Link_Health health;
};

/// A simulator and a session bound to it, with the session's queues.
struct Rig {
    Rig(const std::string& link_path, std::size_t tpdo_bytes) : simulator(device_config(link_path, tpdo_bytes)) {
        simulator.start();
        session = std::make_unique<Session>(link_path, line_baud, false, tx, rx);
    }
    ~Rig() {
        session.reset();
        simulator.stop();
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    SPB_Queue tx{queue_capacity};
    SPB_Queue rx{queue_capacity};
    Device_Simulator simulator;
    std::unique_ptr<Session> session;
};

/// The port's byte counters and the answers taken, at one instant.
struct Traffic_Mark {
    std::int64_t at_ns = 0;
    std::uint64_t tx = 0;
    std::uint64_t rx = 0;
    std::uint64_t answers = 0;
};

Traffic_Mark mark(const Session& session, const Sdo_Traffic& traffic) {
    const auto& port = session.port_diagnostic();
    return {ns_since_epoch(Steady::now()), port.tx_bytes.load(), port.rx_bytes.load(), traffic.answered()};
}

Sdo_Figures window_figures(const Traffic_Mark& from, const Traffic_Mark& to) {
    const double seconds = static_cast<double>(to.at_ns - from.at_ns) / ns_per_s;
    Sdo_Figures figures;
    figures.from_ns = from.at_ns;
    figures.to_ns = to.at_ns;
    figures.messages_per_second = static_cast<double>(to.answers - from.answers) / seconds;
    figures.line_tx_per_second = static_cast<double>(to.tx - from.tx) / seconds;
    figures.line_rx_per_second = static_cast<double>(to.rx - from.rx) / seconds;
    return figures;
}

/// Runs SDO traffic for the warm-up and the measured window, then drains it.
Sdo_Figures drive_sdo(Rig& rig, const Session_Run& run) {
    Sdo_Traffic traffic(rig.tx, rig.rx, run.sdo_bytes);
    std::this_thread::sleep_for(sdo_warmup);
    const Traffic_Mark from = mark(*rig.session, traffic);
    std::this_thread::sleep_for(run.duration);
    Sdo_Figures figures = window_figures(from, mark(*rig.session, traffic));
    traffic.drain();
    figures.sent = traffic.sent() - rig.tx.count();
    figures.answered = traffic.answered();
    figures.gaps = traffic.gaps;
    figures.disorder = traffic.disorder;
    figures.malformed = traffic.malformed;
    return figures;
}

bool expects_answer(Frame_Kind kind) { return kind == Frame_Kind::SDO || kind == Frame_Kind::TPDO_REQUEST; }

/// SDO frames per second and messages per frame in the measured window, and the share of SDO
/// frames the simulator read before it had finished receiving the previous answered frame (SDO
/// or TPDO request): a session that waits for each answer cannot send those, save after a
/// time-out.
void add_frame_figures(Sdo_Figures& figures, const std::vector<Trace_Entry>& trace) {
    std::uint64_t frames = 0, messages = 0, overlapped = 0;
    const Trace_Entry* previous = nullptr;
    for (const auto& entry : trace) {
        if (!expects_answer(entry.kind)) continue;
        const auto read = static_cast<std::int64_t>(entry.read_ns);
        if (entry.kind == Frame_Kind::SDO && read >= figures.from_ns && read < figures.to_ns) {
            ++frames;
            messages += entry.messages;
            if (previous && entry.read_ns < previous->handled_ns) ++overlapped;
        }
        previous = &entry;
    }
    const double seconds = static_cast<double>(figures.to_ns - figures.from_ns) / ns_per_s;
    figures.frames_per_second = static_cast<double>(frames) / seconds;
    figures.messages_per_frame = frames ? static_cast<double>(messages) / static_cast<double>(frames) : 0;
    figures.overlapped_share = frames ? static_cast<double>(overlapped) / static_cast<double>(frames) : 0;
}

/// How long after reading each TPDO request the simulator handled it, in microseconds: the
/// paced reception of the request, plus the simulator thread's own delay.
std::vector<double> device_delay_us(const std::vector<Trace_Entry>& trace) {
    std::vector<double> delays;
    for (const auto& entry : trace)
        if (entry.kind == Frame_Kind::TPDO_REQUEST)
            delays.push_back(static_cast<double>(entry.handled_ns - entry.read_ns) / ns_per_us);
    return delays;
}

/// What the session's PDO handlers left behind: RPDO send times and TPDO answers.
struct Pdo_Probes {
    Rpdo_Stamper stamper;
    Tpdo_Recorder sink;
};

void add_pdo_samples(Pdo_Samples& samples, const Session& session, const std::vector<Trace_Entry>& trace,
                     const Pdo_Probes& probes, const Steady_To_System& map, std::uint64_t answers_sent) {
    const auto period = static_cast<std::int64_t>(session.pdo_period_ns());
    const auto requests = read_times(trace, Frame_Kind::TPDO_REQUEST);
    const auto arrivals = read_times(trace, Frame_Kind::RPDO);
    const Tpdo_Recorder& sink = probes.sink;
    samples.send.add(mapped(probes.stamper.sent_ns, map), period);
    samples.rpdo.add(mapped(arrivals, map), period);
    const auto transit = transit_us(probes.stamper.sent_ns, arrivals);
    samples.transit_us.insert(samples.transit_us.end(), transit.begin(), transit.end());
    samples.tpdo_request.add(mapped(requests, map), period);
    samples.tpdo.add(requests, sink, answers_sent, period);
    const auto delays = device_delay_us(trace);
    samples.tpdo.device_us.insert(samples.tpdo.device_us.end(), delays.begin(), delays.end());
    samples.drift_ppm = std::max(samples.drift_ppm, std::fabs(map.drift_ppm()));
}

Link_Health link_health(const Session& session, const Quorin_Tools::Devsim::Counters& counters) {
    const auto& port = session.port_diagnostic();
    return {port.rx_timeouts.load(), port.rx_errors.load(),
            counters.length_errors + counters.header_errors + counters.source_id_errors +
                counters.destination_id_errors + counters.crc_errors + counters.payload_errors,
            counters.sdo_answers_lost, counters.sdo_held_back};
}

/// Room for every sink call of a run, so that the sink never allocates on the session thread.
std::size_t expected_answers(const Session_Run& run) {
    const double seconds = static_cast<double>(run.duration.count()) / ns_per_s +
                           std::chrono::duration<double>(sdo_warmup + sdo_drain_limit + 1s).count();
    return static_cast<std::size_t>(seconds * std::max(run.pdo_hz, 1.0f)) + 1;
}

/// Runs `run` on a fresh simulator and session; PDO figures go into `pdo`.
Session_Outcome run_session(const std::string& link_path, const Session_Run& run, Pdo_Samples& pdo) {
    Rig rig(link_path, run.tpdo_bytes);
    Session& session = *rig.session;
    Pdo_Probes probes{Rpdo_Stamper(expected_answers(run)), Tpdo_Recorder(expected_answers(run))};
    session.set_tpdo_sync_read_handler(probes.sink);
    session.set_rpdo_sync_write_handler(probes.stamper);
    if (run.pdo_hz > 0) session.set_pdo_config(run.pdo_hz);

    const Clock_Pair first = sample_clocks();
    session.start();
    if (run.pdo_hz > 0) session.enable_pdo();
    Session_Outcome outcome;
    if (run.sdo_bytes == 0) std::this_thread::sleep_for(run.duration);
    else outcome.sdo = drive_sdo(rig, run);
    session.disable_pdo();
    std::this_thread::sleep_for(answer_settle);
    const Steady_To_System map(first, sample_clocks());
    session.reset_tpdo_sync_read_handler();
    session.stop();
    session.reset_rpdo_sync_write_handler();

    const auto trace = rig.simulator.trace();
    const auto counters = rig.simulator.counters();
    if (run.pdo_hz > 0) add_pdo_samples(pdo, session, trace, probes, map, counters.tpdo_answers);
    if (outcome.sdo) add_frame_figures(*outcome.sdo, trace);
    outcome.health = link_health(session, counters);
    return outcome;
}

// ---- the runs --------------------------------------------------------------------------------

/// Bare timer and session at one PDO rate.
struct Rate_Comparison {
    float hz = 0;
    std::int64_t period_ns = 0;
    std::size_t slices = 0;
    Bare_Samples bare;
    Pdo_Samples session;
    Link_Health health;
};

/// An SDO throughput run.
struct Sdo_Run_Result {
    Session_Run run;
    Sdo_Figures sdo;
    Pdo_Samples pdo;  ///< empty with PDO off
    Link_Health health;
};

void progress(const std::string& what) { std::cerr << "  running: " << what << std::endl; }

std::string hz_name(float hz) { return std::to_string(static_cast<int>(hz)) + " Hz"; }

/// Bare timer and session alternate in slices (by default of about slice_seconds), so that the
/// machine's changing load falls on both alike. Each slice runs warmup_periods longer than its share.
Rate_Comparison compare_at(float hz, const Options& options, Link_Directory& links) {
    Rate_Comparison comparison;
    comparison.hz = hz;
    comparison.period_ns = static_cast<std::int64_t>(ns_per_s / hz);
    comparison.slices = options.slices != 0 ? options.slices
                                            : static_cast<std::size_t>(std::max(1.0, std::round(options.pdo_seconds /
                                                                                                slice_seconds)));
    const auto period = Nanoseconds(comparison.period_ns);
    const auto slice = to_duration(options.pdo_seconds / static_cast<double>(comparison.slices)) +
                       period * static_cast<std::int64_t>(warmup_periods);
    for (std::size_t i = 0; i < comparison.slices; ++i) {
        progress(hz_name(hz) + ", slice " + std::to_string(i + 1) + " of " + std::to_string(comparison.slices) +
                 ": bare timer, then session");
        run_bare_slice(links.next_link(), period, slice, comparison.bare);
        const Session_Run run{hz, 0, slice, options.tpdo_bytes};
        comparison.health.add(run_session(links.next_link(), run, comparison.session).health);
    }
    return comparison;
}

std::string run_name(const Session_Run& run) {
    std::string name = run.pdo_hz > 0 ? "PDO " + hz_name(run.pdo_hz) : std::string("PDO off");
    if (run.sdo_bytes) name += ", SDO " + std::to_string(run.sdo_bytes) + " B";
    return name;
}

std::vector<Sdo_Run_Result> sdo_throughput(const Options& options, Link_Directory& links) {
    std::vector<Sdo_Run_Result> results;
    for (const float hz : {0.0f, fast_pdo_hz})
        for (const std::size_t bytes : {small_sdo_bytes, large_sdo_bytes}) {
            Sdo_Run_Result result;
            result.run = {hz, bytes, to_duration(options.sdo_seconds), options.tpdo_bytes};
            progress(run_name(result.run));
            Session_Outcome outcome = run_session(links.next_link(), result.run, result.pdo);
            result.sdo = *outcome.sdo;
            result.health = outcome.health;
            results.push_back(std::move(result));
        }
    return results;
}

// ---- report ----------------------------------------------------------------------------------

struct Report {
    Options options;
    std::string load_before;
    std::string load_after;
    std::vector<Rate_Comparison> rates;  ///< 100 Hz, 500 Hz
    std::vector<Sdo_Run_Result> sdo_runs;
    double seconds = 0;
};

std::string load_average() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

unsigned long long ull(std::uint64_t value) { return static_cast<unsigned long long>(value); }
double share_of(std::uint64_t part, std::uint64_t whole) {
    return whole ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0;
}
double ratio(double a, double b) { return b > 0 ? a / b : 0; }

void print_header(const Report& report) {
    std::printf("\nQuorin session benchmark: session and simulated device over a pty, line paced at %u baud\n",
                line_baud);
    std::printf("  %u CPUs; load average (1/5/15 min) before %s, after %s; %.0f s in all\n",
                std::thread::hardware_concurrency(), report.load_before.c_str(), report.load_after.c_str(),
                report.seconds);
    std::printf("  PDO: %.1f s per rate and method, in %zu alternating slices; SDO runs %.1f s each after a %.1f s\n"
                "  warm-up; RPDO data %zu B, TPDO answer data %zu B\n",
                report.options.pdo_seconds, report.rates.empty() ? 0 : report.rates.front().slices,
                report.options.sdo_seconds, std::chrono::duration<double>(sdo_warmup).count(), rpdo_data_bytes,
                report.options.tpdo_bytes);
}

void print_cycle_header() {
    std::printf("  %-38s %7s  %-25s  %-25s\n", "", "", "schedule error (us)", "interval error (us)");
    std::printf("  %-38s %7s  %7s %8s %8s  %7s %8s %8s\n", "", "periods", "p50", "p99", "max", "p50", "p99", "max");
}

void print_cycle_row(const std::string& name, const Cycle_Samples& samples) {
    const Cycle_Figures figures = figures_of(samples);
    std::printf("  %-38s %7zu  %7.1f %8.1f %8.1f  %7.1f %8.1f %8.1f\n", name.c_str(), figures.schedule.count,
                figures.schedule.p50, figures.schedule.p99, figures.schedule.max, figures.interval.p50,
                figures.interval.p99, figures.interval.max);
}

void print_lateness_row(const std::string& name, const std::vector<double>& lateness_us) {
    const Summary lateness = summarise(lateness_us);
    std::printf("  %-38s %7zu  %7.1f %8.1f %8.1f\n", name.c_str(), lateness.count, lateness.p50, lateness.p99,
                lateness.max);
}

/// Each slice's schedule error p50/p99 and interval error p50, to show how the machine's load moved.
void print_slice_row(const std::string& name, const Cycle_Samples& samples) {
    if (samples.slices.size() < 2) return;
    std::printf("      %-34s", name.c_str());
    for (std::size_t i = 0; i < samples.slices.size(); ++i)
        std::printf(" %.0f/%.0f/%.0f", samples.slices[i].p50, samples.slices[i].p99, samples.slice_intervals[i].p50);
    std::printf("\n");
}

void print_rate_block(const Rate_Comparison& rate) {
    std::printf("  %s (period %.0f us)\n", hz_name(rate.hz).c_str(), static_cast<double>(rate.period_ns) / ns_per_us);
    print_lateness_row("  bare timer: wake-up - deadline", rate.bare.lateness_us);
    print_cycle_row("  bare timer: wake-ups", rate.bare.wake);
    print_cycle_row("  session: RPDO sends (in process)", rate.session.send);
    print_cycle_row("  bare timer: its frames at simulator", rate.bare.frames);
    print_cycle_row("  session: RPDO at simulator", rate.session.rpdo);
    print_cycle_row("  session: TPDO request at simulator", rate.session.tpdo_request);
    print_lateness_row("  bare timer: write -> simulator read", rate.bare.transit_us);
    print_lateness_row("  session: RPDO send -> simulator read", rate.session.transit_us);
    print_slice_row("bare wake-ups, per slice:", rate.bare.wake);
    print_slice_row("session sends, per slice:", rate.session.send);
    print_slice_row("bare frames, per slice:", rate.bare.frames);
    print_slice_row("session RPDO, per slice:", rate.session.rpdo);
}

void print_ratio(const char* what, const Summary& session, const Summary& bare) {
    std::printf("    %-44s p50 %5.1fx  p99 %5.1fx  max %5.1fx\n", what, ratio(session.p50, bare.p50),
                ratio(session.p99, bare.p99), ratio(session.max, bare.max));
}

void print_ratio_rows(const Rate_Comparison& rate) {
    std::printf("  %s\n", hz_name(rate.hz).c_str());
    print_ratio("session sends / bare wake-ups (in process)", summarise(rate.session.send.schedule_us),
                summarise(rate.bare.wake.schedule_us));
    print_ratio("session RPDO / bare frames (at simulator)", summarise(rate.session.rpdo.schedule_us),
                summarise(rate.bare.frames.schedule_us));
}

double largest_drift(const Report& report) {
    double drift = 0;
    for (const auto& rate : report.rates)
        drift = std::max({drift, rate.bare.drift_ppm, rate.session.drift_ppm});
    return drift;
}

void print_pdo_section(const Report& report) {
    std::printf("\n1. PDO period error, us. Schedule error: each frame's arrival at the simulator (trace read_ns,\n"
                "   mapped onto the system clock the session schedules by) minus first + k*period, anchored so\n"
                "   that the earliest frame of a slice is on time: every error >= 0, a constant delay drops out.\n"
                "   Interval error: |gap between consecutive frames - period|. The first %zu periods of each slice\n"
                "   are left out. Bare timer: an Asio system_timer with absolute deadlines, writing the same RPDO\n"
                "   frame to its own simulator; wake-up - deadline is its own lateness (system clock). In process:\n"
                "   the bare timer's wake-ups and the session's RPDO sends (its RPDO source is called right before\n"
                "   the write), measured the same way. Send -> simulator read: the pty and the simulator thread.\n"
                "   Per slice: schedule p50/p99/interval p50 of each slice in run order, to show the load moving.\n",
                warmup_periods);
    print_cycle_header();
    for (const auto& rate : report.rates) print_rate_block(rate);
    std::printf("  500 Hz with SDO traffic (section 3)\n");
    for (const auto& result : report.sdo_runs)
        if (result.run.pdo_hz > 0) {
            const std::string traffic = std::to_string(result.run.sdo_bytes) + " B";
            print_cycle_row("  session: RPDO sends, SDO " + traffic, result.pdo.send);
            print_cycle_row("  session: RPDO at simulator, SDO " + traffic, result.pdo.rpdo);
        }
    std::printf("\n  Session jitter as a ratio to the machine's own (schedule error):\n");
    for (const auto& rate : report.rates) print_ratio_rows(rate);
    std::printf("  (system clock ran at most %.2f ppm off the steady clock in a slice; corrected for)\n",
                largest_drift(report));
}

void print_tpdo_header(const Report& report) {
    std::printf("\n2. TPDO answers. Requests the simulator read, answers it sent, answers in the session's sink;\n"
                "   'in time' = in the sink less than half a period after its request reached the simulator, i.e.\n"
                "   before the next cycle's RPDO event. Age: request read by the simulator -> its answer (by the\n"
                "   answer's counter) in the sink, us. Gaps/repeats: answer counters skipped/delivered again.\n"
                "   Device: request read -> handled by the simulator, us; its answer is on the line from then on\n"
                "   (%zu bytes, %.0f us at the paced rate).\n",
                answer_frame_bytes(report.options.tpdo_bytes), answer_frame_bytes(report.options.tpdo_bytes) * us_per_line_byte);
    std::printf("  %-22s %8s %8s %9s %8s %8s %6s %6s  %8s %8s %8s  %7s %7s\n", "run", "requests", "sent", "delivered",
                "share", "in time", "gaps", "repeat", "age p50", "age p99", "age max", "dev p50", "dev p99");
}

void print_tpdo_row(const std::string& name, const Tpdo_Samples& tpdo) {
    const Summary age = summarise(tpdo.age_us);
    const Summary device = summarise(tpdo.device_us);
    std::printf("  %-22s %8llu %8llu %9llu %7.1f%% %7.1f%% %6llu %6llu  %8.1f %8.1f %8.1f  %7.1f %7.1f\n",
                name.c_str(), ull(tpdo.requests), ull(tpdo.answers_sent), ull(tpdo.delivered),
                share_of(tpdo.delivered, tpdo.requests), share_of(tpdo.in_time, tpdo.requests), ull(tpdo.sequence.gaps),
                ull(tpdo.sequence.repeats), age.p50, age.p99, age.max, device.p50, device.p99);
}

void print_tpdo_section(const Report& report) {
    print_tpdo_header(report);
    for (const auto& rate : report.rates) print_tpdo_row("PDO " + hz_name(rate.hz), rate.session.tpdo);
    for (const auto& result : report.sdo_runs)
        if (result.run.pdo_hz > 0) print_tpdo_row(run_name(result.run), result.pdo.tpdo);
}

void print_sdo_row(const Sdo_Run_Result& result) {
    const Sdo_Figures& sdo = result.sdo;
    const double payload = sdo.messages_per_second * static_cast<double>(result.run.sdo_bytes);
    std::printf("  %-11s %4zu B %8.0f %9.0f %7.0f %6.1f %9.0f %4.0f%% %9.0f %4.0f%% %6.1f%% %8llu %8llu %6llu %4llu\n",
                result.run.pdo_hz > 0 ? "PDO 500 Hz" : "PDO off", result.run.sdo_bytes, sdo.messages_per_second,
                payload, sdo.frames_per_second, sdo.messages_per_frame, sdo.line_tx_per_second,
                100 * sdo.line_tx_per_second / line_bytes_per_second, sdo.line_rx_per_second,
                100 * sdo.line_rx_per_second / line_bytes_per_second, 100 * sdo.overlapped_share, ull(sdo.sent),
                ull(sdo.answered), ull(sdo.gaps), ull(sdo.disorder + sdo.malformed));
}

void print_sdo_section(const Report& report) {
    std::printf("\n3. SDO throughput through the session and back: the transmit queue kept topped up, answers (the\n"
                "   device's echo) counted as dequeued from the receive queue. Payload B/s: message bytes per\n"
                "   second, the same each way. Line: the port's bytes of every frame kind, against %.0f B/s per\n"
                "   direction. Overlap: SDO frames the session sent before the device had received the previous\n"
                "   answered frame. Taken: messages the session took from the transmit queue; answered: answers\n"
                "   back once the traffic stopped and drained (up to %.0f s). Gaps: answers never seen between\n"
                "   answers seen; bad: out of order or malformed.\n",
                line_bytes_per_second, std::chrono::duration<double>(sdo_drain_limit).count());
    std::printf("  %-11s %6s %8s %9s %7s %6s %9s %5s %9s %5s %7s %8s %8s %6s %4s\n", "run", "msg", "msgs/s",
                "payload", "frames/s", "msg/fr", "line tx", "", "line rx", "", "overlap", "taken", "answered", "gaps",
                "bad");
    for (const auto& result : report.sdo_runs) print_sdo_row(result);
}

void print_health_row(const std::string& name, const Link_Health& health) {
    std::printf("  %-22s %11llu %10llu %11llu %17llu %15llu\n", name.c_str(), ull(health.rx_timeouts),
                ull(health.rx_errors), ull(health.bad_frames), ull(health.sim_answers_lost), ull(health.device_backlog));
}

void print_health_section(const Report& report) {
    std::printf("\n4. Link health per run: the session's receive time-outs and size errors, frames the simulator\n"
                "   rejected, SDO answers it dropped, and SDO answers it still held at the end because the reply\n"
                "   quotas the session granted had no room for them (device backlog).\n");
    std::printf("  %-22s %11s %10s %11s %17s %15s\n", "run", "rx timeouts", "rx errors", "bad frames",
                "sim answers lost", "device backlog");
    for (const auto& rate : report.rates) print_health_row("PDO " + hz_name(rate.hz), rate.health);
    for (const auto& result : report.sdo_runs) print_health_row(run_name(result.run), result.health);
}

void print_report(const Report& report) {
    print_header(report);
    print_pdo_section(report);
    print_tpdo_section(report);
    print_sdo_section(report);
    print_health_section(report);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    try {
        Report report;
        report.options = parse_options(argc, argv);
        auto& logger = Quorin_Core::Utility::Logger::instance();
        logger.out = &std::cerr;  // the session's log lines stay out of the report
        logger.min_level = Quorin_Core::Utility::Log_Level::WARN;
        Link_Directory links;
        const auto started = Steady::now();
        report.load_before = load_average();
        for (const float hz : {slow_pdo_hz, fast_pdo_hz}) report.rates.push_back(compare_at(hz, report.options, links));
        report.sdo_runs = sdo_throughput(report.options, links);
        report.load_after = load_average();
        report.seconds = std::chrono::duration<double>(Steady::now() - started).count();
        print_report(report);
    } catch (const std::exception& error) {
        std::cerr << "quorin_session_bench: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
