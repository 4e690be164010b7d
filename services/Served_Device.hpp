#pragma once

#include <memory>
#include <string>

#include "rt_serial/control/Session.hpp"
#include "rt_serial/protocol/SPB_Queue.hpp"
#include "services/EPID_Ledger.hpp"

namespace Quorin_Core {

/// What the UDP services use of a device: its session, its two SDO queues, the account of its
/// SDO answers and its name. The session pointer shares the device's ownership, so a service
/// that keeps it weakly sees the device go; the session's address is the device's identity.
struct Served_Device {
    std::shared_ptr<RT_Serial::Control::Session> session;
    std::shared_ptr<SPB_Queue> tx_queue;  ///< server to device
    std::shared_ptr<SPB_Queue> rx_queue;  ///< device to server
    std::shared_ptr<EPID_Ledger> sdo_ledger;
    std::string name;
};

}  // namespace Quorin_Core
