#pragma once

#include <boost/asio/ip/udp.hpp>

namespace Quorin_Core {

/// Keeps the ICMP "port unreachable" that answers an earlier send (to a client that has gone)
/// from failing the next receive on `socket`. Windows reports it on an unconnected UDP socket
/// (WSAECONNRESET) unless told not to; Linux does not report it there at all.
/// Returns 0, or the platform's error code when the setting was refused.
int ignore_port_unreachable(boost::asio::ip::udp::socket& socket);

}  // namespace Quorin_Core
