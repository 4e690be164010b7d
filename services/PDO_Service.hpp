#pragma once

#include <boost/asio/io_context.hpp>

#include <cstdint>

namespace Quorin_Core {
class Device;
}

namespace Quorin_Core {

/// The UDP process-data service: one channel (socket and client) per device.
/// Runs on the server's PDO context.
class PDO_Service {
public:
    /// Prepares the service; no socket is opened until a channel is.
    PDO_Service(boost::asio::io_context& context, std::uint16_t port_start);

    /// Closes and forgets the channel of `device`, or the one on local `port` (0 matches none).
    /// False when no channel matched.
    bool remove_channel(const Device* device, unsigned short port);
    /// Closes and forgets every channel.
    void remove_all_channels();

private:
    boost::asio::io_context& context;
    std::uint16_t next_port;
};

}  // namespace Quorin_Core
