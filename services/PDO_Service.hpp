#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "services/Device_Registry.hpp"
#include "services/Served_Device.hpp"

namespace Quorin_Core {


/// The UDP process-data service: at most one channel per device, each a UDP socket bound to
/// 0.0.0.0 on a port of its own that talks to exactly one client. Ports count up from
/// `port_start`, one per channel created, and are never given back.
///
/// Threading: `add_channel`, `get_channel`, `remove_channel`, `remove_all_channels`,
/// `list_channels` and `channel_count` run on command threads (the console, the control
/// thread) and the destructor; the registry guards the channels. The channels' sockets run on
/// `context` (the PDO thread); see `Channel`.
class PDO_Service {
public:
    class Channel;

    /// Prepares the service; no socket is opened until a channel is.
    PDO_Service(boost::asio::io_context& context, std::uint16_t port_start);
    /// Removes every channel.
    ~PDO_Service();

    PDO_Service(const PDO_Service&) = delete;
    PDO_Service& operator=(const PDO_Service&) = delete;

    /// Opens a channel between `client` and `device`, starts it and returns its local port;
    /// 0 when the device already has a channel or another channel serves `client`. Throws
    /// std::invalid_argument for a client no IPv4 socket can serve (an IPv6 address, port 0),
    /// and std::runtime_error ("bind: ...") when the socket cannot be opened or bound (that
    /// port stays consumed).
    unsigned short add_channel(const boost::asio::ip::udp::endpoint& client, const Served_Device& device);
    /// The channel of `session`'s device, or the one on local `port` (0 matches none); empty if none.
    std::shared_ptr<Channel> get_channel(const RT_Serial::Control::Session* session, unsigned short port);
    /// Closes and forgets the channel that `get_channel` would find; false when none matched.
    bool remove_channel(const RT_Serial::Control::Session* session, unsigned short port);
    /// Closes and forgets every channel.
    void remove_all_channels();
    /// Appends "local_address:port client_address:port" for each channel, in order of opening.
    void list_channels(std::vector<std::string>& out);
    /// The number of channels.
    std::size_t channel_count();

private:
    boost::asio::io_context& context;
    Device_Registry<Channel> channels;
};

}  // namespace Quorin_Core
