#include "tools/devsim/Device_Simulator.hpp"

#include <exception>
#include <utility>

#include "tools/devsim/Link_Runner.hpp"

namespace Quorin_Tools::Devsim {

Device_Simulator::Device_Simulator(Config config, Log log)
    : config(std::move(config)), log(std::move(log)), state(this->config.trace_memory, this->config.behaviour) {}

Device_Simulator::~Device_Simulator() { stop(); }

void Device_Simulator::start() {
    if (thread.joinable()) return;
    state.restart();
    auto fresh = std::make_unique<Link_Runner>(config, state, log);
    fresh->plug();
    runner = std::move(fresh);
    thread = std::thread([this] {
        try {
            if (config.thread_start_hook) config.thread_start_hook();
            runner->run();
            state.finish("");
        } catch (const std::exception& failure) {
            state.finish(failure.what());
        }
    });
}

void Device_Simulator::stop() {
    if (!thread.joinable()) return;
    state.request_stop();
    thread.join();
    runner.reset();
    state.set_link(false, "");
}

bool Device_Simulator::running() const { return thread.joinable() && !state.finished(); }

void Device_Simulator::unplug() { state.request_unplug(); }

}  // namespace Quorin_Tools::Devsim
