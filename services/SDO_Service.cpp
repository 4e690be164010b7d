#include "services/SDO_Service.hpp"

namespace Quorin_Core {

SDO_Service::SDO_Service(boost::asio::io_context& context, std::uint16_t port_start)
    : context(context), next_port(port_start) {}

bool SDO_Service::remove_mailbox(const Device*, unsigned short) { return false; }

void SDO_Service::remove_all_mailboxes() {}

}  // namespace Quorin_Core
