#include "services/PDO_Service.hpp"

#include <stdexcept>

#include "services/PDO_Channel.hpp"
#include "utility/Logger.hpp"

namespace Quorin_Core {
namespace {

using boost::asio::ip::udp;
using RT_Serial::Control::Session;

/// The client as an IPv4 socket can reach it: an IPv4-mapped IPv6 address becomes its IPv4
/// address. Throws for a client that no IPv4 socket could ever serve, instead of opening a
/// channel whose every send fails.
udp::endpoint reachable_client(const udp::endpoint& client) {
    auto address = client.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        address = boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
    if (!address.is_v4()) throw std::invalid_argument("pdo client must have an IPv4 address");
    if (client.port() == 0) throw std::invalid_argument("pdo client port must not be 0");
    return udp::endpoint(address, client.port());
}

}  // namespace

PDO_Service::PDO_Service(boost::asio::io_context& context, std::uint16_t port_start)
    : context(context), channels(port_start) {}

PDO_Service::~PDO_Service() { remove_all_channels(); }

unsigned short PDO_Service::add_channel(const udp::endpoint& requested, const Served_Device& device) {
    const udp::endpoint client = reachable_client(requested);
    const auto channel = channels.add(
        [&](const Channel& other) { return other.occupied(client, device.session.get()); },
        [&](unsigned short port) {
            auto made = std::make_shared<Channel>(context, port, client, device.session);
            const auto& local = made->local();
            QUORIN_LOG(INFO, "New pdo channel on local: ", local.address().to_string(), ":", local.port());
            return made;
        });
    return channel ? channel->local_port() : 0;
}

std::shared_ptr<PDO_Service::Channel> PDO_Service::get_channel(const Session* session, unsigned short port) {
    return channels.find(session, port);
}

bool PDO_Service::remove_channel(const Session* session, unsigned short port) { return channels.remove(session, port); }

void PDO_Service::remove_all_channels() { channels.remove_all(); }

void PDO_Service::list_channels(std::vector<std::string>& out) {
    channels.for_each([&](const Channel& channel) { out.push_back(channel.record()); });
}

std::size_t PDO_Service::channel_count() { return channels.size(); }

}  // namespace Quorin_Core
