#include "app/Shutdown_Request.hpp"

namespace Quorin_Core::App {

void Shutdown_Request::request() {
    std::function<void()> to_wake;
    {
        std::lock_guard lock(mutex);
        if (is_requested) return;
        is_requested = true;
        to_wake = wake;
    }
    made.notify_all();
    if (to_wake) to_wake();
}

bool Shutdown_Request::requested() {
    std::lock_guard lock(mutex);
    return is_requested;
}

void Shutdown_Request::wait() {
    std::unique_lock lock(mutex);
    made.wait(lock, [this] { return is_requested; });
}

void Shutdown_Request::on_request(std::function<void()> wake_function) {
    bool call_now = false;
    {
        std::lock_guard lock(mutex);
        wake = std::move(wake_function);
        call_now = is_requested && wake;
    }
    if (call_now) wake();
}

}  // namespace Quorin_Core::App
