#include "app/Shutdown_Request.hpp"

namespace Quorin_Core::App {

void Shutdown_Request::request() {
    std::lock_guard lock(mutex);
    if (is_requested) return;
    is_requested = true;
    made.notify_all();
    // Called under the lock: on_request({}) cannot return, and its owner go, while it runs.
    if (wake) wake();
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
    std::lock_guard lock(mutex);
    wake = std::move(wake_function);
    if (is_requested && wake) wake();
}

}  // namespace Quorin_Core::App
