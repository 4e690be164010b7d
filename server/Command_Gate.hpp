#pragma once

#include <condition_variable>
#include <mutex>

namespace Quorin_Core {

/// Lets control-port commands run only while the server is up: they wait while the start-up
/// commands run, and are refused once shutdown has begun, so that none of them can bind or
/// open a device after the devices have been stopped.
///
/// Threading: any thread; its state is under its own mutex.
class Command_Gate {
public:
    /// Lets commands in from now on (the start-up commands are done).
    void open();
    /// Refuses commands from now on, and returns once those already running have finished.
    void close();
    /// Waits until the gate is open or closed; true when the caller may run its command, and
    /// must then call leave() when it is done.
    bool enter();
    void leave();

    /// Runs `command` when enter() lets it in, and leaves after it even if it throws; false
    /// when refused.
    template <typename Command>
    bool run(Command&& command) {
        if (!enter()) return false;
        struct Leave {
            Command_Gate& gate;
            ~Leave() { gate.leave(); }
        } leave{*this};
        command();
        return true;
    }

private:
    enum class State { starting, open, closed };

    std::mutex mutex;
    std::condition_variable changed;
    State state = State::starting;
    unsigned running = 0;
};

}  // namespace Quorin_Core
