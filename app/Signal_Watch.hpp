#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <thread>

#include "app/Shutdown_Request.hpp"

namespace Quorin_Core::App {

/// Turns SIGTERM and SIGINT (on Windows also SIGBREAK: Ctrl+C and Ctrl+Break) into a shutdown
/// request, on a thread of its own: the signal itself only wakes that thread (Asio's
/// signal_set), so nothing but a write to a pipe runs in the signal handler.
class Signal_Watch {
public:
    explicit Signal_Watch(Shutdown_Request& shutdown);
    /// Stops watching; a signal after this has its default effect again.
    ~Signal_Watch();

    Signal_Watch(const Signal_Watch&) = delete;
    Signal_Watch& operator=(const Signal_Watch&) = delete;

private:
    void wait_for_signal();

    Shutdown_Request& shutdown;
    boost::asio::io_context context;
    boost::asio::signal_set signals;
    std::thread thread;
};

}  // namespace Quorin_Core::App
