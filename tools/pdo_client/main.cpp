// quorin-pdo-client: sends RPDO data to a PDO channel and prints the TPDOs that come back.
// See --help.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/pdo_client/Client_Options.hpp"

namespace {

using Quorin_Tools::PDO_Client::Client_Options;
using Clock = std::chrono::steady_clock;

constexpr const char* program = "quorin-pdo-client";
constexpr std::size_t receive_buffer_bytes = 2048;
constexpr std::size_t printed_bytes = 32;
constexpr int idle_poll_ms = 100;

std::atomic<bool> interrupted{false};

void on_signal(int) { interrupted = true; }

sockaddr_in ipv4(const std::string& address, std::uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &result.sin_addr) != 1)
        throw std::runtime_error("not an IPv4 address: " + address);
    return result;
}

/// A UDP socket bound to the client endpoint the channel was opened for.
int bound_socket(const Client_Options& options) {
    const sockaddr_in local = ipv4(options.local_address, options.local_port);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        if (fd >= 0) ::close(fd);
        throw std::runtime_error("cannot bind " + options.local_address + ":" + std::to_string(options.local_port));
    }
    return fd;
}

/// The client's run: what it sent and received, and when the next RPDO is due.
struct Run {
    Run(const Client_Options& options, int fd, sockaddr_in channel) : options(options), fd(fd), channel(channel) {}

    const Client_Options& options;
    int fd;
    sockaddr_in channel;
    Clock::time_point start = Clock::now();
    Clock::time_point next_send = start;
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    std::vector<std::uint8_t> rpdo;
};

void send_rpdo(Run& run) {
    auto& rpdo = run.rpdo;
    rpdo.clear();
    if (run.options.counter)
        for (int shift = 0; shift < 32; shift += 8) rpdo.push_back(static_cast<std::uint8_t>(run.sent >> shift));
    rpdo.insert(rpdo.end(), run.options.data.begin(), run.options.data.end());
    if (::sendto(run.fd, rpdo.data(), rpdo.size(), 0, reinterpret_cast<const sockaddr*>(&run.channel),
                 sizeof run.channel) >= 0)
        ++run.sent;
    const bool repeat = run.options.rate_hz > 0;
    run.next_send = repeat ? run.next_send + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(1.0 / run.options.rate_hz))
                           : Clock::time_point::max();
}

void print_tpdo(const Run& run, const std::uint8_t* data, std::size_t size) {
    const double at = std::chrono::duration<double>(Clock::now() - run.start).count();
    std::printf("%10.6f %4zu B:", at, size);
    for (std::size_t i = 0; i < size && i < printed_bytes; ++i) std::printf(" %02x", data[i]);
    std::printf(size > printed_bytes ? " ...\n" : "\n");
}

void receive_tpdo(Run& run) {
    std::uint8_t buffer[receive_buffer_bytes];
    sockaddr_in from{};
    socklen_t from_size = sizeof from;
    const ssize_t got = ::recvfrom(run.fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &from_size);
    if (got < 0) return;
    ++run.received;
    if (!run.options.quiet) print_tpdo(run, buffer, static_cast<std::size_t>(got));
}

bool finished(const Run& run) {
    if (interrupted) return true;
    if (run.options.count != 0 && run.received >= run.options.count) return true;
    const double elapsed = std::chrono::duration<double>(Clock::now() - run.start).count();
    return run.options.duration_s > 0 && elapsed >= run.options.duration_s;
}

/// Milliseconds to wait for a datagram before the next RPDO is due.
int wait_ms(const Run& run) {
    if (run.next_send == Clock::time_point::max()) return idle_poll_ms;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(run.next_send - Clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, idle_poll_ms));
}

void run_client(Run& run) {
    while (!finished(run)) {
        if (Clock::now() >= run.next_send) send_rpdo(run);
        pollfd ready{run.fd, POLLIN, 0};
        if (::poll(&ready, 1, wait_ms(run)) > 0) receive_tpdo(run);
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - run.start).count();
    std::printf("sent %llu rpdo, received %llu tpdo in %.3f s (%.1f tpdo/s)\n",
                static_cast<unsigned long long>(run.sent), static_cast<unsigned long long>(run.received), elapsed,
                elapsed > 0 ? static_cast<double>(run.received) / elapsed : 0.0);
}

}  // namespace

int main(int argc, char* argv[]) {
    const Client_Options options = Client_Options::parse(argc, argv);
    if (options.help) {
        Client_Options::print_help(std::cout);
        return 0;
    }
    if (!options.error.empty()) {
        std::cerr << program << ": " << options.error << "\nTry '" << program << " --help'." << std::endl;
        return Client_Options::exit_usage;
    }
    ::signal(SIGINT, on_signal);
    ::signal(SIGTERM, on_signal);
    try {
        Run run{options, bound_socket(options), ipv4(options.server_address, options.channel_port)};
        run_client(run);
        ::close(run.fd);
    } catch (const std::exception& error) {
        std::cerr << program << ": " << error.what() << std::endl;
        return Client_Options::exit_failure;
    }
    return 0;
}
