#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

namespace Quorin_Core::App {

/// The request to shut down that a signal makes: remembered once made, waited for by the
/// service mode, and passed on to whoever must stop waiting for input (the console).
///
/// Threading: any thread; the state is under its own mutex.
class Shutdown_Request {
public:
    /// Makes the request; the first time, also calls the function given to on_request.
    void request();
    bool requested();
    /// Returns once the request has been made.
    void wait();
    /// `wake` is called, on the requesting thread, when the request is made (at once if it has
    /// been made already); an empty function removes it, and returns once no call of the old
    /// one is running. `wake` runs under the request's lock: it must not block or call back.
    void on_request(std::function<void()> wake);

private:
    std::mutex mutex;
    std::condition_variable made;
    bool is_requested = false;
    std::function<void()> wake;
};

}  // namespace Quorin_Core::App
