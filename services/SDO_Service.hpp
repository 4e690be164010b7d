#pragma once

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "services/Device_Registry.hpp"
#include "services/Served_Device.hpp"

namespace Quorin_Core {

/// The UDP service-data service: at most one mailbox per device, each a UDP socket of its
/// own serving up to 256 linked clients. Ports are counted up from the configured first
/// port, one per mailbox created, and never given back.
///
/// Threading: the operations below may be called from any thread (the console and the
/// control thread); the registry's lock guards the mailboxes. The mailboxes' loops run on
/// `context` (the server's SDO thread). The registry's lock and the server's `devices_mutex`
/// are never nested; the lock of a mailbox's links is taken inside the registry's only (never
/// the other way round).
class SDO_Service {
public:
    class Mailbox;

    /// Prepares the service; no socket is opened until a mailbox is.
    SDO_Service(boost::asio::io_context& context, std::uint16_t port);
    /// Removes every mailbox.
    ~SDO_Service();

    SDO_Service(const SDO_Service&) = delete;
    SDO_Service& operator=(const SDO_Service&) = delete;

    /// Opens a mailbox for `device` on the next port and returns that port; 0 when the device
    /// has one already. Throws std::runtime_error when the socket cannot be opened or bound
    /// (the port stays used up).
    unsigned short add_mailbox(const Served_Device& device);
    /// The mailbox of `session`'s device, or else the one on local `port` (0 matches none);
    /// empty when nothing matches.
    std::shared_ptr<Mailbox> get_mailbox(const RT_Serial::Control::Session* session, unsigned short port);
    /// Closes and forgets the mailbox that get_mailbox would find; false when none matched.
    bool remove_mailbox(const RT_Serial::Control::Session* session, unsigned short port);
    /// Closes and forgets every mailbox.
    void remove_all_mailboxes();
    /// For each mailbox in creation order: its local entry, then one record per link.
    void list_mailboxes(std::vector<std::string>& out);
    /// Number of open mailboxes.
    std::size_t mailbox_count();

private:
    boost::asio::io_context& context;
    Device_Registry<Mailbox> mailboxes;
};

}  // namespace Quorin_Core
