#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace Quorin_Core {

class Device;

/// Looks at every device's link once an interval, on a thread of its own, so that noticing a
/// lost port and reopening it never holds up a service thread or a command.
class Link_Watch {
public:
    using Device_List = std::function<std::vector<std::shared_ptr<Device>>()>;

    /// Starts watching the devices `devices` lists, every `interval`.
    Link_Watch(std::chrono::milliseconds interval, Device_List devices);
    /// Stops watching; returns once no look is running.
    ~Link_Watch();

    Link_Watch(const Link_Watch&) = delete;
    Link_Watch& operator=(const Link_Watch&) = delete;

private:
    void arm();
    void look();

    const std::chrono::milliseconds interval;
    const Device_List devices;
    boost::asio::io_context context;
    boost::asio::steady_timer timer{context};
    std::thread thread;
};

}  // namespace Quorin_Core
