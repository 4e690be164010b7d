#include "services/Udp_Port_Unreachable.hpp"

#include <winsock2.h>
#include <mswsock.h>

namespace Quorin_Core {

int ignore_port_unreachable(boost::asio::ip::udp::socket& socket) {
    BOOL report = FALSE;
    DWORD returned = 0;
    if (::WSAIoctl(socket.native_handle(), SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr,
                   nullptr) == 0)
        return 0;
    return ::WSAGetLastError();
}

}  // namespace Quorin_Core
