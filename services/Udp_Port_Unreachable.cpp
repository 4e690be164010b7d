#include "services/Udp_Port_Unreachable.hpp"

#include <stdexcept>

#include "utility/Logger.hpp"

namespace Quorin_Core {

using boost::asio::ip::udp;

udp::socket open_client_socket(boost::asio::io_context& context, unsigned short port, const char* what,
                               const Socket_Failure_Text& failure_text) {
    udp::socket socket(context);
    boost::system::error_code error;
    socket.open(udp::v4(), error);
    if (error) throw std::runtime_error(failure_text("open", error));
    socket.bind(udp::endpoint(boost::asio::ip::address_v4::any(), port), error);
    if (error) throw std::runtime_error(failure_text("bind", error));
    // A client that has gone must not make the next receive fail (on Windows it would).
    if (const int refused = ignore_port_unreachable(socket); refused != 0)
        QUORIN_LOG(WARN, what, " on port ", port, " reports unreachable clients as receive errors (error ", refused, ")");
    return socket;
}

}  // namespace Quorin_Core
