#include "services/PDO_Service.hpp"

namespace Quorin_Core {

PDO_Service::PDO_Service(boost::asio::io_context& context, std::uint16_t port_start)
    : context(context), next_port(port_start) {}

bool PDO_Service::remove_channel(const Device*, unsigned short) { return false; }

void PDO_Service::remove_all_channels() {}

}  // namespace Quorin_Core
