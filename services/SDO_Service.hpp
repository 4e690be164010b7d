#pragma once

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Quorin_Core {
class Device;
}

namespace Quorin_Core {

/// The UDP service-data service: at most one mailbox per device, each a UDP socket of its
/// own serving up to 256 linked clients. Ports are counted up from the configured first
/// port, one per mailbox created, and never given back.
///
/// Threading: the operations below may be called from any thread (the console and the
/// control thread); `mailboxes_mutex` guards `mailboxes` and `next_port`. The mailboxes'
/// loops run on `context` (the server's SDO thread). The service's lock and the server's
/// `devices_mutex` are never nested; the lock of a mailbox's links is taken inside
/// `mailboxes_mutex` only (never the other way round).
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
    unsigned short add_mailbox(const std::shared_ptr<Device>& device);
    /// The mailbox of `device`, or else the one on local `port` (0 matches none); empty when
    /// nothing matches.
    std::shared_ptr<Mailbox> get_mailbox(const Device* device, unsigned short port);
    /// Closes and forgets the mailbox that get_mailbox would find; false when none matched.
    bool remove_mailbox(const Device* device, unsigned short port);
    /// Closes and forgets every mailbox.
    void remove_all_mailboxes();
    /// For each mailbox in creation order: its local entry, then one record per link.
    void list_mailboxes(std::vector<std::string>& out);
    /// Number of open mailboxes.
    std::size_t mailbox_count();

private:
    /// Index of the matching mailbox in `mailboxes`, or its size. Caller holds the lock.
    std::size_t find_mailbox(const Device* device, unsigned short port) const;
    /// Closes and forgets the mailboxes whose device no longer exists. Caller holds the lock.
    void sweep_orphans();
    /// Destroys the mailbox at `index` and erases it. Caller holds the lock.
    void retire(std::size_t index);

    std::vector<std::shared_ptr<Mailbox>> mailboxes;  ///< in creation order
    boost::asio::io_context& context;
    std::uint16_t next_port;
    const std::uint16_t base_port;
    std::mutex mailboxes_mutex;
};

}  // namespace Quorin_Core
