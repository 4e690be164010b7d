#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/devsim/Config.hpp"
#include "tools/devsim/Counters.hpp"
#include "tools/devsim/Simulator_State.hpp"
#include "tools/devsim/Trace_Entry.hpp"

namespace Quorin_Tools::Devsim {

class Link_Runner;

/// A simulated device (link id 0xA0) on a pseudo-terminal, published under a stable path for
/// the server to bind. It runs on its own thread between start() and stop(), so that tests can
/// drive a server against it and look at what it received.
///
/// Threading: every member may be called from any thread; start() and stop() from one thread
/// at a time. The log callback runs on the simulator's thread.
class Device_Simulator {
public:
    /// Receives one line per event (unplug, replug).
    using Log = std::function<void(const std::string&)>;

    /// A simulator for `config`, not started.
    explicit Device_Simulator(Config config, Log log = {});
    /// Stops it.
    ~Device_Simulator();
    Device_Simulator(const Device_Simulator&) = delete;
    Device_Simulator& operator=(const Device_Simulator&) = delete;

    /// Publishes the pty at the link path and starts serving it, with fresh counters. Throws
    /// std::runtime_error when the path is taken or the pty or trace file cannot be made.
    /// Does nothing until stop() once started, even when the thread has ended by itself.
    void start();
    /// Stops serving, removes the link and closes the pty. Safe to call twice.
    void stop();
    /// True between start() and stop() while the thread runs: false once an unplug that no
    /// replug follows, or a failure, has ended it.
    bool running() const;

    /// Closes the pty as an unplugged device would; replugs after config.replug_after if set.
    void unplug();
    /// Answers from now on with `behaviour`.
    void set_behaviour(const Behaviour& behaviour) { state.set_behaviour(behaviour); }
    /// The behaviour answers follow now.
    Behaviour behaviour() const { return state.behaviour(); }

    /// The counters as of the last event.
    Counters counters() const { return state.counters(); }
    /// The data of the last RPDO frame, padding included.
    std::vector<std::uint8_t> last_rpdo_data() const { return state.last_rpdo(); }
    /// The latest config.trace_memory received frames.
    std::vector<Trace_Entry> trace() const { return state.trace(); }
    /// True while a pty is published.
    bool plugged() const { return state.plugged(); }
    /// The published pty's server side (/dev/pts/N); empty while unplugged.
    std::string slave_path() const { return state.slave_path(); }
    /// The stable path the server binds.
    const std::string& link_path() const { return config.link_path; }
    /// What ended the thread, if a failure did.
    std::string error() const { return state.error(); }

    /// Waits until `done` holds for the counters, or `timeout` passes; true when it held.
    bool wait_for(const std::function<bool(const Counters&)>& done, std::chrono::milliseconds timeout) const {
        return state.wait_for(done, timeout);
    }

private:
    Config config;
    Log log;
    Simulator_State state;
    std::unique_ptr<Link_Runner> runner;
    std::thread thread;
};

}  // namespace Quorin_Tools::Devsim
