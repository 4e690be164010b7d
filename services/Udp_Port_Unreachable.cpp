#include "services/Udp_Port_Unreachable.hpp"

#include "utility/Logger.hpp"

namespace Quorin_Core {

using boost::asio::ip::udp;

udp::socket open_client_socket(boost::asio::io_context& context, unsigned short port, const char* what) {
    udp::socket socket(context);
    socket.open(udp::v4());
    socket.bind(udp::endpoint(boost::asio::ip::address_v4::any(), port));
    // A client that has gone must not make the next receive fail (on Windows it would).
    if (const int refused = ignore_port_unreachable(socket); refused != 0)
        QUORIN_LOG(WARN, what, " on port ", port, " reports unreachable clients as receive errors (error ", refused, ")");
    return socket;
}

}  // namespace Quorin_Core
