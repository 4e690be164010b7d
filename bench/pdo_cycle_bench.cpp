// The PDO cycle end to end: the real server binary, the device simulator on a line paced at
// 4,000,000 baud echoing each RPDO in its TPDO answers, and a UDP client on the loopback
// interface. For each frequency it measures, over a fixed run:
//   - TPDO datagrams received per second against the set frequency (share of periods delivered);
//   - the client's inter-arrival jitter, |gap - period| (median, p99, max);
//   - the latency from sending an RPDO datagram to receiving the first TPDO that echoes it
//     (median, p99). The device takes the RPDO data at the start of a period and answers the
//     TPDO request half a period later, so this lies between about T/2 and 3T/2.
// A plain program, not a timed test: run build/bench/quorin_pdo_cycle_bench [seconds] [Hz...].
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/Bench_Child.hpp"
#include "support/Bench_Control.hpp"
#include "support/Bench_Figures.hpp"
#include "support/Bench_Net.hpp"

namespace {

using Quorin_Bench::Child;
using Quorin_Bench::Control;
using Quorin_Bench::free_ports;
using Quorin_Bench::load_average;
using Quorin_Bench::loopback;
using Quorin_Bench::quantile;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double default_run_seconds = 10.0;
constexpr double warm_up_seconds = 1.0;
constexpr const char* line_baud = "4000000";
/// RPDOs go out at this multiple of the period, so that they fall at every phase of the cycle.
constexpr double send_period_factor = 1.37;
constexpr std::size_t rpdo_bytes = 16;  ///< an 8-byte sequence number, then filler

// ---- processes and sockets -------------------------------------------------------------

// ---- measuring -----------------------------------------------------------------------

struct Arrival {
    Clock::time_point at;
    std::uint64_t sequence;
};

struct Figures {
    double frequency_hz = 0;
    double seconds = 0;
    std::size_t received = 0;
    std::vector<double> jitter_us;
    std::vector<double> latency_us;
};

/// Receives TPDOs and sends sequence-numbered RPDOs for `seconds`.
class Cycle_Run {
public:
    /// Sequence numbers start at `first_sequence`, above every earlier run's: late echoes of
    /// an earlier run must not count as this one's.
    Cycle_Run(int socket, std::uint16_t channel_port, double frequency_hz, std::uint64_t first_sequence)
        : fd(socket), channel(loopback(channel_port)), period(1.0 / frequency_hz), first(first_sequence) {}

    void run(double seconds) {
        const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        sent.reserve(static_cast<std::size_t>(seconds / period * 2) + 16);
        arrivals.reserve(static_cast<std::size_t>(seconds / period * 2) + 16);
        std::thread sender([&] { send_until(end); });
        receive_until(end);
        sender.join();
    }

    /// The send time of `sequence`, if this run sent it.
    const Clock::time_point* send_time(std::uint64_t sequence) const {
        if (sequence < first || sequence - first >= sent.size()) return nullptr;
        return &sent[sequence - first];
    }
    /// The first sequence number after this run's.
    std::uint64_t next_sequence() const { return first + sent.size(); }
    const std::vector<Arrival>& received() const { return arrivals; }

private:
    void send_until(Clock::time_point end) {
        const auto step = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(period * send_period_factor));
        auto next = Clock::now();
        std::uint8_t data[rpdo_bytes] = {};
        while (next < end) {
            std::this_thread::sleep_until(next);
            const std::uint64_t sequence = first + sent.size();
            std::memcpy(data, &sequence, sizeof sequence);
            sent.push_back(Clock::now());
            ::sendto(fd, data, sizeof data, 0, reinterpret_cast<const sockaddr*>(&channel), sizeof channel);
            next += step;
        }
    }

    void receive_until(Clock::time_point end) {
        std::uint8_t buffer[2048];
        while (Clock::now() < end) {
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, 10) <= 0) continue;
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            const auto at = Clock::now();
            if (got < static_cast<ssize_t>(sizeof(std::uint64_t))) continue;
            std::uint64_t sequence = 0;
            std::memcpy(&sequence, buffer, sizeof sequence);
            arrivals.push_back({at, sequence});
        }
    }

    int fd;
    sockaddr_in channel;
    double period;
    std::uint64_t first;
    std::vector<Clock::time_point> sent;  ///< send time of sequence first + i at i (sender thread)
    std::vector<Arrival> arrivals;        ///< receiver thread
};

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

Figures figures_of(const Cycle_Run& run, double frequency_hz, double seconds) {
    Figures f{frequency_hz, seconds, run.received().size(), {}, {}};
    const double period_us = 1e6 / frequency_hz;
    const auto& arrivals = run.received();
    std::uint64_t last_sequence = 0;
    for (std::size_t i = 0; i < arrivals.size(); ++i) {
        if (i > 0) f.jitter_us.push_back(std::abs(micros(arrivals[i].at - arrivals[i - 1].at) - period_us));
        const auto sequence = arrivals[i].sequence;
        const auto* sent_at = run.send_time(sequence);
        if (sent_at && sequence > last_sequence) {
            f.latency_us.push_back(micros(arrivals[i].at - *sent_at));
            last_sequence = sequence;
        }
    }
    return f;
}

void print(const Figures& f) {
    const double expected = f.frequency_hz * f.seconds;
    std::printf("%6.0f Hz over %.0f s: %zu TPDO datagrams, %.1f/s, %.2f %% of periods delivered\n", f.frequency_hz,
                f.seconds, f.received, static_cast<double>(f.received) / f.seconds, 100.0 * static_cast<double>(f.received) / expected);
    std::printf("          inter-arrival jitter |gap - %.0f us|: median %.0f us, p99 %.0f us, max %.0f us\n",
                1e6 / f.frequency_hz, quantile(f.jitter_us, 0.5), quantile(f.jitter_us, 0.99),
                quantile(f.jitter_us, 1.0));
    const double period_us = 1e6 / f.frequency_hz;
    const double median = quantile(f.latency_us, 0.5);
    const double p99 = quantile(f.latency_us, 0.99);
    std::printf("          RPDO sent to echo received (%zu samples): median %.0f us (%.1f periods), p99 %.0f us "
                "(%.1f periods); a fresh answer each period gives a median of about 1 period\n",
                f.latency_us.size(), median, median / period_us, p99, p99 / period_us);
}

int client_socket(std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = loopback(0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    return fd;
}

Figures measure(Control& control, int socket, std::uint16_t channel_port, double frequency_hz, double seconds,
                std::uint64_t& sequence) {
    control.command("pdo bench -d");
    control.command("pdo bench -f " + std::to_string(frequency_hz));
    control.command("pdo bench -e");
    Cycle_Run warm_up(socket, channel_port, frequency_hz, sequence);
    warm_up.run(warm_up_seconds);
    Cycle_Run run(socket, channel_port, frequency_hz, warm_up.next_sequence());
    run.run(seconds);
    sequence = run.next_sequence();
    return figures_of(run, frequency_hz, seconds);
}

}  // namespace

int main(int argc, char* argv[]) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // figures show as they come, also through a pipe
    const double seconds = argc > 1 ? std::stod(argv[1]) : default_run_seconds;
    std::vector<double> frequencies;
    for (int i = 2; i < argc; ++i) frequencies.push_back(std::stod(argv[i]));
    if (frequencies.empty()) frequencies = {100, 500};

    char dir_template[] = "/tmp/quorin-pdo-bench-XXXXXX";
    const std::string dir = ::mkdtemp(dir_template);
    const std::uint16_t control_port = free_ports(1);
    const std::uint16_t pdo_port = free_ports(1);
    std::ofstream(dir + "/quorin_cfg.ini") << "[control_service]\nport = " << control_port
                                           << "\n[sdo_service]\nport_start = " << free_ports(1)
                                           << "\n[pdo_service]\nport_start = " << pdo_port << "\n";
    std::printf("machine: %u cores, load average %s\n", std::thread::hardware_concurrency(), load_average().c_str());
    try {
        const std::string link = dir + "/sim";
        Child simulator({QUORIN_DEVSIM_BINARY, "--baud", line_baud, link}, dir, dir + "/devsim.log", false);
        while (!std::filesystem::exists(link)) std::this_thread::sleep_for(10ms);
        Child server({QUORIN_BINARY}, dir, dir + "/server.log", true);
        Control control(control_port);
        std::uint16_t client_port = 0;
        const int socket = client_socket(client_port);
        control.command("bind bench " + link);
        control.command("dev bench -o");
        control.command("pdo bench -o 127.0.0.1 " + std::to_string(client_port));
        std::uint64_t sequence = 1;  // 0 is in the echo before any RPDO
        for (const double frequency : frequencies)
            print(measure(control, socket, pdo_port, frequency, seconds, sequence));
        ::close(socket);
        server.finish();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "pdo cycle bench: %s (logs in %s)\n", error.what(), dir.c_str());
        return 1;
    }
    std::printf("load average after: %s\n", load_average().c_str());
    std::filesystem::remove_all(dir);
    return 0;
}
