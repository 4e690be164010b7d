#pragma once

#include <boost/asio/io_context.hpp>

#include <cstdint>

namespace Quorin_Core {
class Device;
}

namespace Quorin_Core {

/// The UDP service-data service: one mailbox per device, up to 256 linked clients each.
/// Runs on the server's SDO context.
class SDO_Service {
public:
    /// Prepares the service; no socket is opened until a mailbox is.
    SDO_Service(boost::asio::io_context& context, std::uint16_t port_start);

    /// Closes and forgets the mailbox of `device`, or the one on local `port` (0 matches none).
    /// False when no mailbox matched.
    bool remove_mailbox(const Device* device, unsigned short port);
    /// Closes and forgets every mailbox.
    void remove_all_mailboxes();

private:
    boost::asio::io_context& context;
    std::uint16_t next_port;
};

}  // namespace Quorin_Core
