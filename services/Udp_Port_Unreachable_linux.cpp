#include "services/Udp_Port_Unreachable.hpp"

namespace Quorin_Core {

// Linux queues ICMP errors on a UDP socket only when it is connected (or IP_RECVERR is set),
// and the mailboxes' sockets are neither: nothing to switch off.
int ignore_port_unreachable(boost::asio::ip::udp::socket&) { return 0; }

}  // namespace Quorin_Core
