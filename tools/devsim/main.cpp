// quorin-devsim: a simulated device on a pseudo-terminal. See --help.
#include <signal.h>

#include <cerrno>
#include <ctime>
#include <exception>
#include <iostream>
#include <mutex>

#include "tools/devsim/Command_Line.hpp"
#include "tools/devsim/Device_Simulator.hpp"

namespace {

using Quorin_Tools::Devsim::Command_Line;
using Quorin_Tools::Devsim::Device_Simulator;

constexpr const char* program = "quorin-devsim";
/// How often the main thread looks whether the simulator has ended by itself.
constexpr long end_check_period_ns = 100'000'000;

std::mutex output_mutex;

/// Blocks SIGINT and SIGTERM in this thread and every thread started after; they are taken
/// with sigtimedwait instead.
sigset_t block_stop_signals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

/// Waits until a stop signal comes or the simulator ends by itself (an unplug with no replug).
void wait_for_end(const Device_Simulator& simulator, const sigset_t& signals) {
    const timespec period{0, end_check_period_ns};
    while (simulator.running()) {
        if (sigtimedwait(&signals, nullptr, &period) >= 0) return;
    }
}

void say(const std::string& line) {
    std::lock_guard lock(output_mutex);
    std::cout << program << ": " << line << std::endl;
}

}  // namespace

int main(int argc, char* argv[]) {
    const Command_Line line = Command_Line::parse(argc, argv);
    if (line.help) {
        Command_Line::print_help(std::cout);
        return 0;
    }
    if (!line.error.empty()) {
        std::cerr << program << ": " << line.error << "\nTry '" << program << " --help'." << std::endl;
        return Command_Line::exit_usage;
    }

    const sigset_t signals = block_stop_signals();
    Device_Simulator simulator(line.config, say);
    try {
        simulator.start();
    } catch (const std::exception& failure) {
        std::cerr << program << ": " << failure.what() << std::endl;
        return Command_Line::exit_failure;
    }
    say("device 0xA0 ready on " + simulator.link_path() + " -> " + simulator.slave_path());

    wait_for_end(simulator, signals);
    simulator.stop();
    const std::string error = simulator.error();
    {
        std::lock_guard lock(output_mutex);
        std::cout << program << ": counters\n";
        simulator.counters().print(std::cout);
        std::cout.flush();
    }
    if (!error.empty()) {
        std::cerr << program << ": " << error << std::endl;
        return Command_Line::exit_failure;
    }
    return 0;
}
