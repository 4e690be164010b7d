#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <atomic>
#include <functional>
#include <mutex>
#include <utility>

#include "rt_serial/protocol/SDO_Fill_Listener.hpp"

namespace Quorin_Core::RT_Serial::Control {

/// Wakes a session's NRT scheduler when its transmit queue takes a request in: the step is
/// posted to the session's io_context, never run on the producer's thread, and at most one
/// wake-up is pending at a time, so that a burst of requests costs one post.
class NRT_Wake final : public Protocol::SDO::Fill_Listener {
public:
    NRT_Wake(boost::asio::io_context& context, std::function<void()> step) : context(context), step(std::move(step)) {}

    void queue_filled() override {
        if (pending.exchange(true)) return;
        std::lock_guard lock(mutex);
        if (!attached) return;
        // The handler goes with the io_context, unrun, if the session goes first.
        boost::asio::post(context, [this] {
            pending = false;  // before the step looks at the queue: a later request wakes it again
            step();
        });
    }
    /// Posts nothing more once it returns; the session calls it before its io_context goes.
    void detach() {
        std::lock_guard lock(mutex);
        attached = false;
    }

private:
    boost::asio::io_context& context;
    const std::function<void()> step;
    std::atomic<bool> pending{false};
    std::mutex mutex;  ///< guards `attached` against a post in progress
    bool attached = true;
};

}  // namespace Quorin_Core::RT_Serial::Control
