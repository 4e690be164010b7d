#pragma once

#include <boost/asio/ip/udp.hpp>

namespace Quorin_Core {

/// Keeps the ICMP "port unreachable" that answers an earlier send (to a client that has gone)
/// from failing the next receive on `socket`. Windows reports it on an unconnected UDP socket
/// (WSAECONNRESET) unless told not to; Linux does not report it there at all.
/// Returns 0, or the platform's error code when the setting was refused.
int ignore_port_unreachable(boost::asio::ip::udp::socket& socket);

/// A UDP socket bound to 0.0.0.0:`port` for a service that sends to clients which may go away:
/// with port-unreachable reports ignored (a WARN line names `what` when the setting is refused).
/// Throws boost::system::system_error when it cannot be opened or bound.
boost::asio::ip::udp::socket open_client_socket(boost::asio::io_context& context, unsigned short port,
                                                const char* what);

}  // namespace Quorin_Core
