#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "tools/devsim/Behaviour.hpp"
#include "tools/devsim/Counters.hpp"
#include "tools/devsim/Trace_Entry.hpp"

namespace Quorin_Tools::Devsim {

/// What the simulator's thread and the threads that drive or watch it share: the behaviour
/// (set from outside), the published observations (counters, last RPDO data, the latest trace
/// entries, the link), and the requests to stop or unplug, which wake the simulator's thread
/// through an eventfd. Every operation is thread-safe.
class Simulator_State {
public:
    /// A state whose trace keeps the latest `trace_memory` entries, with `behaviour` to start with.
    Simulator_State(std::size_t trace_memory, const Behaviour& behaviour);
    ~Simulator_State();
    Simulator_State(const Simulator_State&) = delete;
    Simulator_State& operator=(const Simulator_State&) = delete;

    /// The behaviour to answer with now.
    Behaviour behaviour() const;
    /// Replaces the behaviour; answers to requests handled from now on follow it.
    void set_behaviour(const Behaviour& behaviour);

    /// Publishes the simulator's view after a batch of events and wakes the waiters; takes the
    /// new trace entries out of `new_entries`.
    void publish(const Counters& counters, std::span<const std::uint8_t> last_rpdo,
                 std::vector<Trace_Entry>& new_entries);
    /// Records whether a pty is published, and its server side.
    void set_link(bool plugged, const std::string& slave_path);
    /// Records that the simulator's thread has ended, with the error that ended it (or none).
    void finish(const std::string& error);
    /// Makes the state ready for another run: not finished, no error, no pending request.
    void restart();

    Counters counters() const;                   ///< copy of the latest counters
    std::vector<std::uint8_t> last_rpdo() const;  ///< copy of the last RPDO data
    std::vector<Trace_Entry> trace() const;       ///< copy of the kept trace entries
    bool plugged() const;                         ///< a pty is published
    std::string slave_path() const;               ///< the published pty's server side
    bool finished() const;                        ///< the thread has ended
    std::string error() const;                    ///< what ended it, if anything

    /// Waits until `done` holds for the published counters, or `timeout` passes.
    bool wait_for(const std::function<bool(const Counters&)>& done, std::chrono::milliseconds timeout) const;

    /// Asks the simulator's thread to end.
    void request_stop();
    /// Asks the simulator's thread to close the pty.
    void request_unplug();
    /// True once a stop was asked for.
    bool stop_requested() const { return stop_flag.load(); }
    /// True (once) when an unplug was asked for since the last call.
    bool take_unplug_request() { return unplug_flag.exchange(false); }
    /// Readable while a request is pending; the simulator's thread polls it.
    int wake_fd() const { return event_fd; }
    /// Clears the wake-up signal.
    void drain_wake();

private:
    void wake();

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::size_t trace_memory;
    Behaviour current_behaviour;
    Counters latest;
    std::vector<std::uint8_t> rpdo;
    std::deque<Trace_Entry> entries;
    bool is_plugged = false;
    std::string slave;
    bool is_finished = false;
    std::string failure;
    std::atomic<bool> stop_flag{false};
    std::atomic<bool> unplug_flag{false};
    int event_fd = -1;
};

}  // namespace Quorin_Tools::Devsim
