#include "services/PDO_Service.hpp"

#include <algorithm>
#include <stdexcept>

#include "services/PDO_Channel.hpp"
#include "utility/Logger.hpp"

namespace Quorin_Core {
namespace {

using boost::asio::ip::udp;

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
    : context(context), next_port(port_start), port_start(port_start) {}

PDO_Service::~PDO_Service() { remove_all_channels(); }

unsigned short PDO_Service::add_channel(const udp::endpoint& requested, const std::shared_ptr<Device>& device) {
    const udp::endpoint client = reachable_client(requested);
    std::lock_guard lock(channels_mutex);
    remove_orphans();
    for (const auto& channel : channels)
        if (channel->occupied(client, device.get())) return 0;
    const unsigned short port = take_port();
    auto channel = std::make_shared<Channel>(context, port, client, device);
    const auto& local = channel->local();
    QUORIN_LOG(INFO, "New pdo channel on local: ", local.address().to_string(), ":", local.port());
    channels.push_back(channel);
    channel->open();
    return local.port();
}

unsigned short PDO_Service::take_port() {
    const unsigned short port = next_port != 0 ? next_port : port_start;
    next_port = static_cast<std::uint16_t>(port + 1);
    return port;
}

std::shared_ptr<PDO_Service::Channel> PDO_Service::get_channel(const Device* device, unsigned short port) {
    std::lock_guard lock(channels_mutex);
    const auto found = find_channel(device, port);
    return found == channels.end() ? nullptr : *found;
}

bool PDO_Service::remove_channel(const Device* device, unsigned short port) {
    std::lock_guard lock(channels_mutex);
    const auto found = find_channel(device, port);
    if (found == channels.end()) return false;
    (*found)->destroy();
    channels.erase(found);
    return true;
}

void PDO_Service::remove_all_channels() {
    std::lock_guard lock(channels_mutex);
    for (const auto& channel : channels) channel->destroy();
    channels.clear();
}

void PDO_Service::list_channels(std::vector<std::string>& out) {
    std::lock_guard lock(channels_mutex);
    remove_orphans();
    for (const auto& channel : channels) out.push_back(channel->record());
}

std::size_t PDO_Service::channel_count() {
    std::lock_guard lock(channels_mutex);
    remove_orphans();
    return channels.size();
}

void PDO_Service::remove_orphans() {
    std::erase_if(channels, [](const std::shared_ptr<Channel>& channel) {
        if (!channel->orphaned()) return false;
        channel->destroy();
        return true;
    });
}

std::vector<std::shared_ptr<PDO_Service::Channel>>::iterator PDO_Service::find_channel(const Device* device,
                                                                                       unsigned short port) {
    return std::find_if(channels.begin(), channels.end(),
                        [&](const std::shared_ptr<Channel>& channel) { return channel->serves(device, port); });
}

}  // namespace Quorin_Core
