#include "tools/devsim/Simulator_State.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace Quorin_Tools::Devsim {

Simulator_State::Simulator_State(std::size_t trace_memory, const Behaviour& behaviour)
    : trace_memory(trace_memory), current_behaviour(behaviour) {
    event_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (event_fd < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
}

Simulator_State::~Simulator_State() { ::close(event_fd); }

Behaviour Simulator_State::behaviour() const {
    std::lock_guard lock(mutex);
    return current_behaviour;
}

void Simulator_State::set_behaviour(const Behaviour& behaviour) {
    std::lock_guard lock(mutex);
    current_behaviour = behaviour;
}

void Simulator_State::publish(const Counters& counters, std::span<const std::uint8_t> last_rpdo,
                              std::vector<Trace_Entry>& new_entries) {
    {
        std::lock_guard lock(mutex);
        latest = counters;
        rpdo.assign(last_rpdo.begin(), last_rpdo.end());
        for (const Trace_Entry& entry : new_entries) {
            if (trace_memory == 0) break;
            if (entries.size() == trace_memory) entries.pop_front();
            entries.push_back(entry);
        }
    }
    new_entries.clear();
    changed.notify_all();
}

void Simulator_State::set_link(bool plugged, const std::string& slave_path) {
    {
        std::lock_guard lock(mutex);
        is_plugged = plugged;
        slave = slave_path;
    }
    changed.notify_all();
}

void Simulator_State::finish(const std::string& error) {
    {
        std::lock_guard lock(mutex);
        is_finished = true;
        failure = error;
    }
    changed.notify_all();
}

void Simulator_State::restart() {
    std::lock_guard lock(mutex);
    is_finished = false;
    failure.clear();
    stop_flag = false;
    unplug_flag = false;
    drain_wake();
}

Counters Simulator_State::counters() const {
    std::lock_guard lock(mutex);
    return latest;
}

std::vector<std::uint8_t> Simulator_State::last_rpdo() const {
    std::lock_guard lock(mutex);
    return rpdo;
}

std::vector<Trace_Entry> Simulator_State::trace() const {
    std::lock_guard lock(mutex);
    return {entries.begin(), entries.end()};
}

bool Simulator_State::plugged() const {
    std::lock_guard lock(mutex);
    return is_plugged;
}

std::string Simulator_State::slave_path() const {
    std::lock_guard lock(mutex);
    return slave;
}

bool Simulator_State::finished() const {
    std::lock_guard lock(mutex);
    return is_finished;
}

std::string Simulator_State::error() const {
    std::lock_guard lock(mutex);
    return failure;
}

bool Simulator_State::wait_for(const std::function<bool(const Counters&)>& done,
                               std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return done(latest); });
}

void Simulator_State::request_stop() {
    stop_flag = true;
    wake();
}

void Simulator_State::request_unplug() {
    unplug_flag = true;
    wake();
}

void Simulator_State::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(event_fd, &one, sizeof one);
}

void Simulator_State::drain_wake() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(event_fd, &count, sizeof count);
}

}  // namespace Quorin_Tools::Devsim
