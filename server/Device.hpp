#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "rt_serial/control/Session.hpp"
#include "rt_serial/protocol/SPB_Queue.hpp"
#include "services/EPID_Ledger.hpp"
#include "services/Served_Device.hpp"

namespace Quorin_Core {

/// One named device bound to one serial port: its two SDO segment queues and the session
/// on its port. Held by shared pointers (the device table, commands at work, and the PDO
/// channel and SDO mailbox that serve it), so it outlives whatever still uses it.
///
/// With reconnecting on, a device that is open and loses its port (unplugged, reset) keeps
/// its name, binding, queues, channel and mailbox: its session stops, and the server's link
/// watch reopens the port under the same path and restarts the session, PDO included.
///
/// Threading: open, close, watch_link and outage may be called from any thread. `link_mutex`
/// orders them; it is taken before the session's own lock, and may be taken while the
/// server's table lock is held (unbinding), never the other way round.
class Device : public std::enable_shared_from_this<Device> {
public:
    /// Capacity of each SDO segment queue, in messages.
    static constexpr std::uint64_t sdo_queue_capacity = 16384;

    /// The link lost and not yet back: since when, and the reopen attempts that failed.
    struct Outage {
        std::chrono::system_clock::time_point since;
        std::uint64_t failed_reopens = 0;
    };

    /// Creates the queues and the session, which opens the port; throws std::runtime_error
    /// when the port cannot be opened (without `open_now` it stays closed until an open).
    /// With `realtime_priority` the session thread climbs the same priority ladder as the PDO
    /// thread each time it starts. `ledger` carries on the account of an earlier device on the
    /// same port; a new one is made when it is empty. With `reconnect`, a lost port is reopened.
    Device(const std::string& name, const std::string& port_name, std::uint32_t baud, bool native_usb,
           bool realtime_priority = false, std::shared_ptr<EPID_Ledger> ledger = nullptr, bool reconnect = false,
           bool open_now = true);

    /// Whether this device already uses `name`, or the serial port `port_name`.
    bool occupied(const std::string& name, const std::string& port_name) const;

    /// Starts the session (the "open" command); false when it runs already. With reconnecting
    /// on and the port lost, reopens it first, once: when that fails it throws
    /// std::runtime_error, and the link watch goes on trying.
    bool open();
    /// Stops the session, and any reconnecting (the "close" command, and unbinding).
    void close();
    /// One look of the link watch, every `interval`: an open device whose port is lost
    /// stops its session; one whose port is lost tries to reopen it and, when it opens,
    /// starts again as it was.
    void watch_link(std::chrono::milliseconds interval);
    /// The current outage, if the link is down.
    std::optional<Outage> outage() const;
    /// What the UDP services use of it; the session pointer shares this device's ownership.
    Served_Device served();

    const std::shared_ptr<SPB_Queue> tx_queue;  ///< server to device
    const std::shared_ptr<SPB_Queue> rx_queue;  ///< device to server
    /// The account of the SDO answers owed to the links of its mailboxes, whichever mailbox
    /// is open; the session settles in it the requests it throws away.
    const std::shared_ptr<EPID_Ledger> sdo_ledger;
    RT_Serial::Control::Session session;
    const std::string name;

private:
    struct Link_Loss {
        Outage outage;
        std::chrono::steady_clock::time_point began;
        std::chrono::steady_clock::time_point last_summary;
        std::uint64_t failed_since_summary = 0;
        bool pdo_was_enabled = false;
    };

    std::optional<std::string> lost_port_cause() const;
    void begin_loss(const std::string& cause, std::chrono::milliseconds interval);
    /// Reopens the port and restarts the session; false (or, with `throw_failure`, the
    /// error) when the port does not open.
    bool reconnect(bool throw_failure);

    const bool reconnecting;
    mutable std::mutex link_mutex;
    bool wanted_open = false;  ///< opened and not closed since: the link watch keeps it so
    std::optional<Link_Loss> loss;
};

}  // namespace Quorin_Core
