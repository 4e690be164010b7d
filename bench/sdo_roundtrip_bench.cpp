// SDO end to end: the real server binary, the device simulator on a line paced at 4,000,000
// baud echoing every SDO message, and UDP clients on the loopback interface. With PDO disabled
// and with PDO running at 500 Hz it measures:
//   - the round trip of one client sending one request at a time (median, p99, max), split by
//     the simulator's trace into the way to the device (server, session scheduling, line) and
//     the way back (device, line, session, mailbox);
//   - answered messages per second with 1 and with 16 clients, each sending its next request
//     as soon as its answer comes.
// A request that has no answer after `answer_timeout` is counted as unanswered and followed by
// the next one; its answer, if it comes later, is counted as late. (When the session gives up on
// an answer that then comes late, it stays on the line and is taken as the next exchange's
// answer: from then on every answer waits for the next request, and the figures show it.) A plain program, not a timed test:
//   build/bench/quorin_sdo_roundtrip_bench [seconds per figure]   (default 5)
// With QUORIN_BENCH_KEEP set, the server's and the simulator's logs are kept.
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
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
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

constexpr double default_seconds = 5.0;
constexpr auto warm_up = 1s;
constexpr const char* line_baud = "4000000";
constexpr const char* pdo_frequency = "500";
constexpr auto answer_timeout = 200ms;
constexpr std::size_t request_bytes = 6;  ///< header 0x61: a whole SDO message of 6 bytes
constexpr std::uint8_t request_header = 0x61;
constexpr unsigned many_clients = 16;

// ---- processes and sockets -------------------------------------------------------------

/// A UDP socket on 127.0.0.1 with a port of its own.
class Udp_Socket {
public:
    Udp_Socket() : fd(::socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in address = loopback(0);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t size = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        bound_port = ntohs(address.sin_port);
    }
    ~Udp_Socket() { ::close(fd); }
    Udp_Socket(const Udp_Socket&) = delete;
    Udp_Socket& operator=(const Udp_Socket&) = delete;

    std::uint16_t port() const { return bound_port; }
    void send(std::uint16_t to_port, std::uint32_t sequence) const {
        std::uint8_t request[request_bytes] = {request_header, std::uint8_t(sequence), std::uint8_t(sequence >> 8),
                                               std::uint8_t(sequence >> 16), 0, 0};
        const sockaddr_in to = loopback(to_port);
        ::sendto(fd, request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    /// The sequence number of the next answer within `timeout`, or -1.
    long receive(std::chrono::milliseconds timeout) const {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(timeout.count())) <= 0) return -1;
        std::uint8_t answer[1024];
        if (::recv(fd, answer, sizeof answer, 0) < 4) return -1;
        return answer[1] | (answer[2] << 8) | (answer[3] << 16);
    }

private:
    int fd;
    std::uint16_t bound_port = 0;
};

// ---- measuring -----------------------------------------------------------------------

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

/// One client's closed loop: a request, its answer (or a time-out), the next request.
struct Loop_Result {
    std::vector<Clock::time_point> sent;  ///< send time of sequence i
    std::vector<double> round_trip_us;    ///< answers to the request just sent
    std::uint64_t answered = 0;           ///< answers received within the measured window
    std::uint64_t unanswered = 0;         ///< requests given up after answer_timeout
    std::uint64_t late = 0;               ///< answers to a request given up earlier
};

Loop_Result run_loop(const Udp_Socket& client, std::uint16_t mailbox_port, Clock::time_point measure_from,
                     Clock::time_point end) {
    Loop_Result result;
    for (std::uint32_t sequence = 0; Clock::now() < end; ++sequence) {
        result.sent.push_back(Clock::now());
        client.send(mailbox_port, sequence);
        for (;;) {
            const long got = client.receive(answer_timeout);
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

Throughput run_clients(std::vector<Udp_Socket>& clients, std::uint16_t mailbox_port, double seconds) {
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
    const double there = quantile(there_us, 0.5);
    std::printf("    split: client to device handling median %.0f us (p99 %.0f us); device back to client median %.0f us\n",
                there, quantile(there_us, 0.99), quantile(loop.round_trip_us, 0.5) - there);
}

void print_latency(const Throughput& one, const std::vector<std::int64_t>& device_times) {
    const auto& trips = one.first.round_trip_us;
    std::printf("  one client, one request at a time: %zu round trips, median %.0f us, p99 %.0f us, max %.0f us\n",
                trips.size(), quantile(trips, 0.5), quantile(trips, 0.99), quantile(trips, 1.0));
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
std::string link_figures(Control& control) {
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

/// A server and a simulator (with its trace in `trace_path`) for one scenario.
struct Rig {
    Rig(const std::string& dir, const std::string& trace_path, std::uint16_t control_port)
        : simulator({QUORIN_DEVSIM_BINARY, "--baud", line_baud, "--trace", trace_path, dir + "/sim"}, dir,
                    dir + "/devsim.log", false),
          link_ready(wait_for_link(dir + "/sim")),
          server({QUORIN_BINARY}, dir, dir + "/server.log", true),
          control(control_port) {
        control.command("bind bench " + dir + "/sim");
        control.command("dev bench -o");
    }
    static bool wait_for_link(const std::string& link) {
        while (!std::filesystem::exists(link)) std::this_thread::sleep_for(10ms);
        return true;
    }
    Child simulator;
    bool link_ready;
    Child server;
    Control control;
};

/// Links `clients` to the device's mailbox and returns the mailbox's port.
std::uint16_t link_all(Control& control, const std::vector<Udp_Socket>& clients) {
    std::uint16_t mailbox_port = 0;
    for (const auto& client : clients) {
        const std::string reply = control.command("sdo bench -o 127.0.0.1 " + std::to_string(client.port()));
        mailbox_port = static_cast<std::uint16_t>(std::stoul(reply.substr(std::string("OK add sdo link: server 0.0.0.0 ").size())));
    }
    return mailbox_port;
}

void run_scenario(const std::string& title, bool with_pdo, double seconds) {
    char dir_template[] = "/tmp/quorin-sdo-bench-XXXXXX";
    const std::string dir = ::mkdtemp(dir_template);
    const std::uint16_t control_port = free_ports(1);
    std::ofstream(dir + "/quorin_cfg.ini") << "[control_service]\nport = " << control_port
                                           << "\n[sdo_service]\nport_start = " << free_ports(1)
                                           << "\n[pdo_service]\nport_start = " << free_ports(1) << "\n";
    const std::string trace_path = dir + "/trace";
    std::printf("%s (load average %s)\n", title.c_str(), load_average().c_str());
    {
        Rig rig(dir, trace_path, control_port);
        Udp_Socket pdo_client;  // takes the TPDOs and never reads them
        if (with_pdo) {
            rig.control.command("pdo bench -o 127.0.0.1 " + std::to_string(pdo_client.port()));
            rig.control.command(std::string("pdo bench -f ") + pdo_frequency);
            rig.control.command("pdo bench -e");
        }
        std::vector<Udp_Socket> clients(many_clients);
        const std::uint16_t mailbox_port = link_all(rig.control, clients);

        // Linking sends nothing to the device: the first SDO frames of the trace are this client's.
        std::vector<Udp_Socket> one(1);
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
        print_device_counters(dir + "/devsim.log");
    }
    if (std::getenv("QUORIN_BENCH_KEEP") != nullptr)
        std::printf("  logs kept in %s\n", dir.c_str());
    else
        std::filesystem::remove_all(dir);
}

}  // namespace

int main(int argc, char* argv[]) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const double seconds = argc > 1 ? std::stod(argv[1]) : default_seconds;
    std::printf("machine: %u cores; line %s baud; %.0f s per figure after %lld s of warm-up\n",
                std::thread::hardware_concurrency(), line_baud, seconds, static_cast<long long>(warm_up.count()));
    try {
        run_scenario("PDO disabled", false, seconds);
        run_scenario(std::string("PDO at ") + pdo_frequency + " Hz", true, seconds);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "sdo round-trip bench: %s\n", error.what());
        return 1;
    }
    std::printf("load average after: %s\n", load_average().c_str());
    return 0;
}
