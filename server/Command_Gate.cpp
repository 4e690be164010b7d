#include "server/Command_Gate.hpp"

namespace Quorin_Core {

void Command_Gate::open() {
    std::lock_guard lock(mutex);
    if (state == State::starting) state = State::open;
    changed.notify_all();
}

void Command_Gate::close() {
    std::unique_lock lock(mutex);
    state = State::closed;
    changed.notify_all();
    changed.wait(lock, [this] { return running == 0; });
}

bool Command_Gate::enter() {
    std::unique_lock lock(mutex);
    changed.wait(lock, [this] { return state != State::starting; });
    if (state == State::closed) return false;
    ++running;
    return true;
}

void Command_Gate::leave() {
    std::lock_guard lock(mutex);
    --running;
    if (running == 0) changed.notify_all();
}

}  // namespace Quorin_Core
