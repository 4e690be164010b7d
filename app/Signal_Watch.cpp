#include "app/Signal_Watch.hpp"

#include <csignal>

#include "utility/Logger.hpp"

namespace Quorin_Core::App {
namespace {

const char* signal_name(int number) {
    switch (number) {
        case SIGTERM: return "SIGTERM";
        case SIGINT: return "SIGINT";
#ifdef SIGBREAK
        case SIGBREAK: return "SIGBREAK";
#endif
    }
    return "signal";
}

}  // namespace

Signal_Watch::Signal_Watch(Shutdown_Request& shutdown) : shutdown(shutdown), signals(context, SIGTERM, SIGINT) {
#ifdef SIGBREAK
    signals.add(SIGBREAK);
#endif
    wait_for_signal();
    thread = std::thread([this] { context.run(); });
}

Signal_Watch::~Signal_Watch() {
    context.stop();
    thread.join();
    boost::system::error_code ignored;
    signals.clear(ignored);
}

void Signal_Watch::wait_for_signal() {
    signals.async_wait([this](const boost::system::error_code& error, int number) {
        if (error) return;
        // A second signal while shutting down changes nothing: the shutdown order runs to its end.
        if (!shutdown.requested()) QUORIN_LOG(INFO, "Received ", signal_name(number), ", shutting down...");
        shutdown.request();
        wait_for_signal();
    });
}

}  // namespace Quorin_Core::App
