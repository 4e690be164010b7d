#pragma once

#include <boost/asio/ip/udp.hpp>

#include <functional>
#include <string>

namespace Quorin_Core {

/// Keeps the ICMP "port unreachable" that answers an earlier send (to a client that has gone)
/// from failing the next receive on `socket`. Windows reports it on an unconnected UDP socket
/// (WSAECONNRESET) unless told not to; Linux does not report it there at all.
/// Returns 0, or the platform's error code when the setting was refused.
int ignore_port_unreachable(boost::asio::ip::udp::socket& socket);

/// The text of the exception for a socket that cannot be opened or bound; `step` is "open"
/// or "bind". Each service keeps its own wording.
using Socket_Failure_Text = std::function<std::string(const char* step, const boost::system::error_code& error)>;

/// A UDP socket bound to 0.0.0.0:`port` for a service that sends to clients which may go away:
/// with port-unreachable reports ignored (a WARN line names `what` when the setting is refused).
/// Throws std::runtime_error with `failure_text`'s text when it cannot be opened or bound.
boost::asio::ip::udp::socket open_client_socket(boost::asio::io_context& context, unsigned short port,
                                                const char* what, const Socket_Failure_Text& failure_text);

}  // namespace Quorin_Core
