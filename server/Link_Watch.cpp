#include "server/Link_Watch.hpp"

#include "server/Device.hpp"
#include "utility/Logger.hpp"

namespace Quorin_Core {

Link_Watch::Link_Watch(std::chrono::milliseconds interval, Device_List devices)
    : interval(interval), devices(std::move(devices)) {
    timer.expires_after(interval);
    arm();
    thread = std::thread([this] { context.run(); });
}

Link_Watch::~Link_Watch() {
    context.stop();
    thread.join();
}

void Link_Watch::arm() {
    timer.async_wait([this](const boost::system::error_code& error) {
        if (error) return;
        look();
        timer.expires_at(timer.expiry() + interval);
        // A look that took longer than the interval is not made up for.
        if (timer.expiry() < std::chrono::steady_clock::now()) timer.expires_after(interval);
        arm();
    });
}

void Link_Watch::look() {
    for (const auto& device : devices()) {
        try {
            device->watch_link(interval);
        } catch (const std::exception& error) {
            QUORIN_LOG_ERROR("Error watching the link of device [", device->name, "]: ", error.what());
        }
    }
}

}  // namespace Quorin_Core
