#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "rt_serial/control/Session.hpp"
#include "rt_serial/protocol/SPB_Queue.hpp"
#include "services/EPID_Ledger.hpp"

namespace Quorin_Core {

/// One named device bound to one serial port: its two SDO segment queues and the session
/// on its port. Held by shared pointers (the device table, commands at work, and the PDO
/// channel and SDO mailbox that serve it), so it outlives whatever still uses it.
class Device {
public:
    /// Capacity of each SDO segment queue, in messages.
    static constexpr std::uint64_t sdo_queue_capacity = 16384;

    /// Creates the queues and the session, which opens the port; throws std::runtime_error
    /// when the port cannot be opened. With `realtime_priority` the session thread climbs the
    /// same priority ladder as the PDO thread each time it starts. `ledger` carries on the
    /// account of an earlier device on the same port; a new one is made when it is empty.
    Device(const std::string& name, const std::string& port_name, std::uint32_t baud, bool native_usb,
           bool realtime_priority = false, std::shared_ptr<EPID_Ledger> ledger = nullptr);

    /// Whether this device already uses `name`, or the serial port `port_name`.
    bool occupied(const std::string& name, const std::string& port_name) const;

    const std::shared_ptr<SPB_Queue> tx_queue;  ///< server to device
    const std::shared_ptr<SPB_Queue> rx_queue;  ///< device to server
    /// The account of the SDO answers owed to the links of its mailboxes, whichever mailbox
    /// is open; the session settles in it the requests it throws away.
    const std::shared_ptr<EPID_Ledger> sdo_ledger;
    RT_Serial::Control::Session session;
    const std::string name;
};

}  // namespace Quorin_Core
