// The PDO cycle end to end: the real server binary, the device simulator on a line paced at
// 4,000,000 baud echoing each RPDO in its TPDO answers, and a UDP client on the loopback
// interface. For each frequency it measures, over a fixed run:
//   - TPDO datagrams received per second against the set frequency (share of periods delivered);
//   - the client's inter-arrival jitter, |gap - period| (median, p99, max);
//   - the latency from sending an RPDO datagram to receiving the first TPDO that echoes it
//     (median, p99). The device takes the RPDO data at the start of a period and answers the
//     TPDO request half a period later, so this lies between about T/2 and 3T/2.
// A plain program, not a timed test: run build/bench/quorin_pdo_cycle_bench [--load] [--faults[=KIND]] [seconds] [Hz...];
// --load keeps every core busy with loops of the bench's own while it measures; --faults spoils
// about 1 % of the device's answers (six kinds in turn) and runs eight SDO clients beside the
// cycle, each checking that it only ever gets its own answers.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/Bench_Figures.hpp"
#include "support/Bench_Server.hpp"
#include "support/Udp_Client.hpp"

namespace {

using Quorin_Bench::load_average;
using Quorin_Bench::micros;
using Quorin_Test::Udp_Client;
using Clock = std::chrono::steady_clock;

constexpr double default_run_seconds = 10.0;
constexpr double warm_up_seconds = 1.0;
/// RPDOs go out at this multiple of the period, so that they fall at every phase of the cycle.
constexpr double send_period_factor = 1.37;
constexpr std::size_t rpdo_bytes = 16;  ///< an 8-byte sequence number, then filler

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
    Cycle_Run(Udp_Client& client, std::uint16_t channel_port, double frequency_hz, std::uint64_t first_sequence)
        : client(client), channel_port(channel_port), period(1.0 / frequency_hz), first(first_sequence) {}

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
        Udp_Client::Bytes data(rpdo_bytes);
        while (next < end) {
            std::this_thread::sleep_until(next);
            const std::uint64_t sequence = first + sent.size();
            std::memcpy(data.data(), &sequence, sizeof sequence);
            sent.push_back(Clock::now());
            client.send_to(channel_port, data);
            next += step;
        }
    }

    void receive_until(Clock::time_point end) {
        while (Clock::now() < end) {
            const auto datagram = client.receive(std::chrono::milliseconds(10));
            const auto at = Clock::now();
            if (!datagram || datagram->size() < sizeof(std::uint64_t)) continue;
            std::uint64_t sequence = 0;
            std::memcpy(&sequence, datagram->data(), sizeof sequence);
            arrivals.push_back({at, sequence});
        }
    }

    Udp_Client& client;
    std::uint16_t channel_port;
    double period;
    std::uint64_t first;
    std::vector<Clock::time_point> sent;  ///< send time of sequence first + i at i (sender thread)
    std::vector<Arrival> arrivals;        ///< receiver thread
};

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
    const auto jitter = Quorin_Bench::summarise(f.jitter_us);
    std::printf("          inter-arrival jitter |gap - %.0f us|: median %.0f us, p99 %.0f us, max %.0f us\n",
                1e6 / f.frequency_hz, jitter.p50, jitter.p99, jitter.max);
    const double period_us = 1e6 / f.frequency_hz;
    const auto latency = Quorin_Bench::summarise(f.latency_us);
    std::printf("          RPDO sent to echo received (%zu samples): median %.0f us (%.1f periods), p99 %.0f us "
                "(%.1f periods); a fresh answer each period gives a median of about 1 period\n",
                latency.count, latency.p50, latency.p50 / period_us, latency.p99, latency.p99 / period_us);
}

/// Eight SDO clients in lock-step beside the cycle, each checking that every answer it gets is
/// its own (its sequence number and its EPID): a spoiled frame may cost answers, never misdeliver them.
class Sdo_Traffic {
public:
    static constexpr std::size_t clients = 8;

    explicit Sdo_Traffic(Quorin_Bench::Server_Rig& rig) : rig(rig) {
        for (std::size_t i = 0; i < clients; ++i) {
            linked.push_back(std::make_unique<Udp_Client>());
            rig.control.command("sdo bench -o 127.0.0.1 " + std::to_string(linked.back()->port()));
        }
        thread = std::thread([this] { run(); });
    }
    ~Sdo_Traffic() {
        stop = true;
        thread.join();
    }
    void print() const {
        std::printf("          SDO beside it, %zu clients in lock-step: %llu answers, %llu timed out, %llu not the client's own\n",
                    clients, answered.load(), timed_out.load(), foreign.load());
    }

private:
    void run() {
        for (std::uint32_t sequence = 1; !stop; ++sequence) {
            for (auto& client : linked) client->send_to(rig.sdo_port, Udp_Client::sdo_request(sequence));
            for (std::size_t epid = 0; epid < clients; ++epid) take_answer(*linked[epid], sequence, std::uint8_t(epid));
        }
    }
    void take_answer(Udp_Client& client, std::uint32_t sequence, std::uint8_t epid) {
        const auto expected = Udp_Client::sdo_request(sequence, 6, 0x61, epid);
        for (;;) {
            const auto got = client.receive(std::chrono::milliseconds(100));
            if (!got) return void(++timed_out);
            if (*got == expected) return void(++answered);
            // An earlier sequence of its own, late, is no harm; anything else is another's.
            if (got->size() != 6 || (*got)[4] != epid) ++foreign;
        }
    }

    Quorin_Bench::Server_Rig& rig;
    std::vector<std::unique_ptr<Udp_Client>> linked;
    std::atomic<bool> stop{false};
    std::atomic<unsigned long long> answered{0}, timed_out{0}, foreign{0};
    std::thread thread;
};

Figures measure(Quorin_Bench::Server_Rig& rig, Udp_Client& client, double frequency_hz, double seconds,
                std::uint64_t& sequence) {
    rig.control.command("pdo bench -d");
    rig.control.command("pdo bench -f " + std::to_string(frequency_hz));
    rig.control.command("pdo bench -e");
    Cycle_Run warm_up(client, rig.pdo_port, frequency_hz, sequence);
    warm_up.run(warm_up_seconds);
    Cycle_Run run(client, rig.pdo_port, frequency_hz, warm_up.next_sequence());
    run.run(seconds);
    sequence = run.next_sequence();
    return figures_of(run, frequency_hz, seconds);
}

/// --faults=KIND spoils only one kind, named as the simulator's option without its dashes and
/// "-every" (for example --faults=oversize-length), at the same rate.
std::string take_fault_kind(std::vector<std::string>& args) {
    static const std::string prefix = "--faults=";
    std::string kind;
    std::erase_if(args, [&](const std::string& arg) {
        if (arg.rfind(prefix, 0) != 0) return false;
        kind = arg.substr(prefix.size());
        return true;
    });
    return kind;
}

std::vector<std::string> of_kind(const std::vector<std::string>& spoiled, const std::string& kind) {
    if (kind.empty()) return spoiled;
    for (std::size_t i = 0; i + 1 < spoiled.size(); i += 2)
        if (spoiled[i] == "--" + kind + "-every") return {spoiled[i], spoiled[i + 1]};
    throw std::invalid_argument("no such fault kind: " + kind);
}

}  // namespace

int main(int argc, char* argv[]) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // figures show as they come, also through a pipe
    std::vector<std::string> args(argv + 1, argv + argc);
    const bool load = std::erase(args, "--load") != 0;
    bool faults = std::erase(args, "--faults") != 0;
    const std::string only_kind = take_fault_kind(args);
    faults = faults || !only_kind.empty();
    const double seconds = !args.empty() ? std::stod(args[0]) : default_run_seconds;
    std::vector<double> frequencies;
    for (std::size_t i = 1; i < args.size(); ++i) frequencies.push_back(std::stod(args[i]));
    if (frequencies.empty()) frequencies = {100, 500};

    const Quorin_Test::Temp_Dir dir;
    std::printf("machine: %u cores, load average %s%s\n", std::thread::hardware_concurrency(), load_average().c_str(),
                load ? ", every core kept busy by the bench" : "");
    const Quorin_Bench::Busy_Load busy(load);
    try {
        // --faults: about 1 % of the device's answers spoiled, the six kinds in turn.
        const std::vector<std::string> spoiled{"--drop-every", "600", "--corrupt-crc-every", "599",
                                               "--wrong-source-every", "601", "--wrong-length-every", "607",
                                               "--oversize-length-every", "613", "--stray-every", "617"};
        Quorin_Bench::Server_Rig rig(dir.path(), faults ? of_kind(spoiled, only_kind) : std::vector<std::string>{});
        Udp_Client client;
        rig.control.command("pdo bench -o 127.0.0.1 " + std::to_string(client.port()));
        std::unique_ptr<Sdo_Traffic> sdo;
        if (faults) sdo = std::make_unique<Sdo_Traffic>(rig);
        std::uint64_t sequence = 1;  // 0 is in the echo before any RPDO
        for (const double frequency : frequencies) print(measure(rig, client, frequency, seconds, sequence));
        if (sdo) sdo->print();
        sdo.reset();
        rig.server.finish();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "pdo cycle bench: %s (logs in %s)\n", error.what(), Quorin_Bench::kept_copy(dir).c_str());
        return 1;
    }
    std::printf("load average after: %s\n", load_average().c_str());
    return 0;
}
