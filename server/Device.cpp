#include "server/Device.hpp"

#include "server/Thread_Priority.hpp"

namespace Quorin_Core {

Device::Device(const std::string& name, const std::string& port_name, std::uint32_t baud, bool native_usb,
               bool realtime_priority, std::shared_ptr<EPID_Ledger> ledger)
    : tx_queue(std::make_shared<SPB_Queue>(sdo_queue_capacity)),
      rx_queue(std::make_shared<SPB_Queue>(sdo_queue_capacity)),
      sdo_ledger(ledger ? std::move(ledger) : std::make_shared<EPID_Ledger>()),
      session(port_name, baud, native_usb, *tx_queue, *rx_queue),
      name(name) {
    session.set_sdo_discard_listener(sdo_ledger.get());
    // The session thread times every PDO event: under load only a raised priority keeps it on time.
    if (realtime_priority)
        session.set_thread_start_hook([port = port_name] { raise_current_thread_priority("Session thread", " on [" + port + "]"); });
}

bool Device::occupied(const std::string& other_name, const std::string& other_port) const {
    return name == other_name || session.get_port_name() == other_port;
}

}  // namespace Quorin_Core
