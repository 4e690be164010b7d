// SDO end to end: the real server binary, the device simulator on a line paced at 4,000,000
// baud echoing every SDO message, and UDP clients on the loopback interface. With PDO disabled
// and with PDO running at 500 Hz it measures:
//   - the round trip of one client sending one request at a time (median, p99, max), split by
//     the simulator's trace into the way to the device (server, session scheduling, line) and
//     the way back (device, line, session, mailbox);
//   - answered messages per second with 1 and with 16 clients, each sending its next request
//     as soon as its answer comes;
//   - first, the server's CPU time (from /proc) with one open device, its mailbox and its channel
//     and no SDO traffic, over twice the time of a figure, with PDO off and at 500 Hz.
// A request that has no answer after `answer_timeout` is counted as unanswered and followed by
// the next one; its answer, if it comes later, is counted as late. (When the session gives up on
// an answer that then comes late, it stays on the line and is taken as the next exchange's
// answer: from then on every answer waits for the next request, and the figures show it.) A plain program, not a timed test:
//   build/bench/quorin_sdo_roundtrip_bench [seconds per figure]   (default 5)
// With QUORIN_BENCH_KEEP set, the server's and the simulator's logs are kept.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
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
using Quorin_Bench::summarise;
using Quorin_Test::Udp_Client;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double default_seconds = 5.0;
constexpr auto warm_up = 1s;
constexpr const char* pdo_frequency = "500";
constexpr auto answer_timeout = 200ms;
constexpr unsigned many_clients = 16;

/// Sends request `sequence`: 6 bytes, header 0x61 (a whole SDO message), EPID 0.
void send_request(Udp_Client& client, std::uint16_t mailbox_port, std::uint32_t sequence) {
    client.send_to(mailbox_port, Udp_Client::sdo_request(sequence, 6, 0x61, 0));
}

/// The sequence number of the next answer within answer_timeout, or -1.
long receive_answer(Udp_Client& client) {
    const auto answer = client.receive(answer_timeout);
    if (!answer || answer->size() < 4) return -1;
    return (*answer)[1] | ((*answer)[2] << 8) | ((*answer)[3] << 16);
}

/// One client's closed loop: a request, its answer (or a time-out), the next request.
struct Loop_Result {
    std::vector<Clock::time_point> sent;  ///< send time of sequence i
    std::vector<double> round_trip_us;    ///< answers to the request just sent
    std::uint64_t answered = 0;           ///< answers received within the measured window
    std::uint64_t unanswered = 0;         ///< requests given up after answer_timeout
    std::uint64_t late = 0;               ///< answers to a request given up earlier
};

Loop_Result run_loop(Udp_Client& client, std::uint16_t mailbox_port, Clock::time_point measure_from,
                     Clock::time_point end) {
    Loop_Result result;
    for (std::uint32_t sequence = 0; Clock::now() < end; ++sequence) {
        result.sent.push_back(Clock::now());
        send_request(client, mailbox_port, sequence);
        for (;;) {
            const long got = receive_answer(client);
            const auto at = Clock::now();
            if (got < 0) {
                if (at >= measure_from) ++result.unanswered;
                break;
            }
            if (at >= measure_from) ++result.answered;
            if (got == static_cast<long>(sequence)) {
                if (result.sent[sequence] >= measure_from) result.round_trip_us.push_back(micros(at - result.sent[sequence]));
                break;
            }
            // A late answer to an earlier request: keep waiting for this one.
            if (at >= measure_from) ++result.late;
        }
    }
    return result;
}

/// `clients` closed loops side by side for warm_up + `seconds`; answered per second and the
/// round trips of the first client.
struct Throughput {
    double answered_per_second = 0;
    std::uint64_t unanswered = 0;
    std::uint64_t late = 0;
    Loop_Result first;
};

Throughput run_clients(std::vector<Udp_Client>& clients, std::uint16_t mailbox_port, double seconds) {
    const auto measure_from = Clock::now() + warm_up;
    const auto end = measure_from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<Loop_Result> results(clients.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < clients.size(); ++i)
        threads.emplace_back([&, i] { results[i] = run_loop(clients[i], mailbox_port, measure_from, end); });
    for (auto& thread : threads) thread.join();
    Throughput throughput;
    for (const auto& result : results) {
        throughput.answered_per_second += static_cast<double>(result.answered) / seconds;
        throughput.unanswered += result.unanswered;
        throughput.late += result.late;
    }
    throughput.first = std::move(results.front());
    return throughput;
}

/// Times in ns of the monotonic clock at which the device handled each SDO frame (after the
/// paced line has carried it), in order.
std::vector<std::int64_t> device_read_times(const std::string& trace_path) {
    std::ifstream trace(trace_path);
    std::vector<std::int64_t> times;
    for (std::string line; std::getline(trace, line);) {
        if (line.starts_with("#")) continue;
        std::istringstream fields(line);
        std::int64_t read_ns = 0, handled_ns = 0;
        std::string kind;
        fields >> read_ns >> handled_ns >> kind;
        if (kind == "sdo") times.push_back(handled_ns);
    }
    return times;
}

std::int64_t monotonic_ns(Clock::time_point at) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

/// With one client and one request at a time, the k-th SDO frame the device read carried the
/// k-th request: the way there is the frame's handling time minus the send time.
void print_split(const Loop_Result& loop, const std::vector<std::int64_t>& device_times) {
    std::vector<double> there_us;
    const std::size_t pairs = std::min(loop.sent.size(), device_times.size());
    for (std::size_t i = 0; i < pairs; ++i) there_us.push_back(static_cast<double>(device_times[i] - monotonic_ns(loop.sent[i])) / 1e3);
    if (there_us.empty() || pairs != loop.sent.size()) {
        std::printf("    (no split: %zu requests, %zu SDO frames at the device)\n", loop.sent.size(), device_times.size());
        return;
    }
    const auto there = summarise(there_us);
    std::printf("    split: client to device handling median %.0f us (p99 %.0f us); device back to client median %.0f us\n",
                there.p50, there.p99, summarise(loop.round_trip_us).p50 - there.p50);
}

void print_latency(const Throughput& one, const std::vector<std::int64_t>& device_times) {
    const auto trips = summarise(one.first.round_trip_us);
    std::printf("  one client, one request at a time: %zu round trips, median %.0f us, p99 %.0f us, max %.0f us\n",
                trips.count, trips.p50, trips.p99, trips.max);
    print_split(one.first, device_times);
}

void print_throughput(unsigned count, const Throughput& t) {
    std::printf("  %2u client%s, each sending on its answer: %.0f answers/s, %llu unanswered within %lld ms, "
                "%llu of them answered later\n",
                count, count == 1 ? " " : "s", t.answered_per_second, static_cast<unsigned long long>(t.unanswered),
                static_cast<long long>(answer_timeout.count()), static_cast<unsigned long long>(t.late));
}

/// The rest of the first line of `text` that begins with `prefix`, or "?".
std::string value_after(const std::string& text, const std::string& prefix) {
    const auto at = text.find(prefix);
    if (at == std::string::npos) return "?";
    const auto from = at + prefix.size();
    return text.substr(from, text.find_first_of("\r\n", from) - from);
}

/// The session's figures of the last second, from the diagnosis command.
std::string link_figures(Quorin_Bench::Control& control) {
    const std::string report = control.exchange("diag bench -rts", "--rx spb dropped: 0\n");
    return "    link in the last second of it: NRT exchanges " + value_after(report, "--nrt tx/s: ") +
           "/s, receive time-outs " + value_after(report, "--tx-rx timeout/s: ") + "/s, TPDO " +
           value_after(report, "--real tpdo freq: ") + "\n";
}

/// What the simulator counted, from the counters it prints when it ends.
void print_device_counters(const std::string& log_path) {
    std::ifstream file(log_path);
    const std::string log((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::printf("  device: %s SDO messages, %s answered, %s answers lost, %s exchanges without room for an answer\n",
                value_after(log, "sdo_messages: ").c_str(), value_after(log, "sdo_answers: ").c_str(),
                value_after(log, "sdo_answers_lost: ").c_str(), value_after(log, "no_room: ").c_str());
}

/// Links `clients` to the device's mailbox and returns the mailbox's port.
std::uint16_t link_all(Quorin_Bench::Control& control, const std::vector<Udp_Client>& clients) {
    std::uint16_t mailbox_port = 0;
    for (const auto& client : clients) {
        const std::string reply = control.command("sdo bench -o 127.0.0.1 " + std::to_string(client.port()));
        mailbox_port = static_cast<std::uint16_t>(std::stoul(reply.substr(std::string("OK add sdo link: server 0.0.0.0 ").size())));
    }
    return mailbox_port;
}

/// The server's CPU time over `seconds` of a run, as a share of one core.
double cpu_share(const Quorin_Bench::Child& server, double seconds) {
    const double before = server.cpu_seconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));  // the span measured, not a wait for a condition
    return (server.cpu_seconds() - before) / seconds;
}

/// An open device with its mailbox and its channel and no traffic: with PDO off, then at 500 Hz.
void measure_idle_cpu(double seconds) {
    const Quorin_Test::Temp_Dir dir;
    Quorin_Bench::Server_Rig rig(dir.path());
    Udp_Client sdo_client, pdo_client;
    rig.control.command("sdo bench -o 127.0.0.1 " + std::to_string(sdo_client.port()));
    rig.control.command("pdo bench -o 127.0.0.1 " + std::to_string(pdo_client.port()));
    std::this_thread::sleep_for(warm_up);
    const double idle = cpu_share(rig.server, seconds);
    rig.control.command(std::string("pdo bench -f ") + pdo_frequency);
    rig.control.command("pdo bench -e");
    std::this_thread::sleep_for(warm_up);
    const double cycling = cpu_share(rig.server, seconds);
    std::printf("Server CPU over %.0f s (load average %s), one device with a mailbox and a channel, no SDO traffic:\n"
                "  PDO off: %.2f %% of a core; PDO at %s Hz: %.2f %% of a core\n",
                seconds, load_average().c_str(), 100 * idle, pdo_frequency, 100 * cycling);
    rig.server.finish();
}

void run_scenario(const std::string& title, bool with_pdo, double seconds) {
    const Quorin_Test::Temp_Dir dir;
    const std::string trace_path = dir.path() + "/trace";
    std::printf("%s (load average %s)\n", title.c_str(), load_average().c_str());
    {
        Quorin_Bench::Server_Rig rig(dir.path(), {"--trace", trace_path});
        Udp_Client pdo_client;  // takes the TPDOs and never reads them
        if (with_pdo) {
            rig.control.command("pdo bench -o 127.0.0.1 " + std::to_string(pdo_client.port()));
            rig.control.command(std::string("pdo bench -f ") + pdo_frequency);
            rig.control.command("pdo bench -e");
        }
        std::vector<Udp_Client> clients(many_clients);
        const std::uint16_t mailbox_port = link_all(rig.control, clients);

        // Linking sends nothing to the device: the first SDO frames of the trace are this client's.
        std::vector<Udp_Client> one(1);
        link_all(rig.control, one);
        const Throughput single = run_clients(one, mailbox_port, seconds);
        const Throughput many = run_clients(clients, mailbox_port, seconds);
        const std::string link = link_figures(rig.control);
        rig.server.finish();
        rig.simulator.terminate();  // which writes out its trace
        auto device_times = device_read_times(trace_path);
        device_times.resize(std::min(device_times.size(), single.first.sent.size()));
        print_latency(single, device_times);
        print_throughput(1, single);
        print_throughput(many_clients, many);
        std::fputs(link.c_str(), stdout);
        print_device_counters(dir.path() + "/devsim.log");
    }
    if (std::getenv("QUORIN_BENCH_KEEP") != nullptr) std::printf("  logs kept in %s\n", Quorin_Bench::kept_copy(dir).c_str());
}

}  // namespace

int main(int argc, char* argv[]) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const double seconds = argc > 1 ? std::stod(argv[1]) : default_seconds;
    std::printf("machine: %u cores; line %s baud; %.0f s per figure after %lld s of warm-up\n",
                std::thread::hardware_concurrency(), Quorin_Bench::Server_Rig::line_baud, seconds, static_cast<long long>(warm_up.count()));
    try {
        measure_idle_cpu(2 * seconds);
        run_scenario("PDO disabled", false, seconds);
        run_scenario(std::string("PDO at ") + pdo_frequency + " Hz", true, seconds);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "sdo round-trip bench: %s\n", error.what());
        return 1;
    }
    std::printf("load average after: %s\n", load_average().c_str());
    return 0;
}
