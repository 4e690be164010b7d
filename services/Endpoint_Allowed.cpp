#include "services/Endpoint_Allowed.hpp"

#include <stdexcept>

#include "utility/Logger.hpp"

namespace Quorin_Core {

using boost::asio::ip::udp;

std::uint64_t Endpoint_Allowed::Endpoint_Hash::fnv1a_hash(const std::uint8_t* data, std::size_t size,
                                                          std::uint64_t hash) {
    for (std::size_t i = 0; i < size; ++i) {
        hash ^= data[i];
        hash *= prime;
    }
    return hash;
}

std::size_t Endpoint_Allowed::Endpoint_Hash::operator()(const udp::endpoint& endpoint) const noexcept {
    std::uint64_t hash = offset_basis;
    const auto& address = endpoint.address();
    if (address.is_v4()) {
        const auto bytes = address.to_v4().to_bytes();
        hash = fnv1a_hash(bytes.data(), bytes.size(), hash);
    } else {
        const auto bytes = address.to_v6().to_bytes();
        hash = fnv1a_hash(bytes.data(), bytes.size(), hash);
    }
    const std::uint16_t port = endpoint.port();
    const std::uint8_t port_bytes[2] = {static_cast<std::uint8_t>(port & 0xFF), static_cast<std::uint8_t>(port >> 8)};
    return static_cast<std::size_t>(fnv1a_hash(port_bytes, sizeof port_bytes, hash));
}

std::optional<unsigned char> Endpoint_Allowed::add(const udp::endpoint& endpoint, const On_Change& on_added,
                                                   const Usable& usable) {
    boost::unique_lock lock(mutex);
    if (epid_map.contains(endpoint)) return std::nullopt;
    const auto id = slots.add(Endpoint_Struct{endpoint, false}, [&usable](std::uint16_t candidate) {
        return !usable || usable(static_cast<unsigned char>(candidate));
    });
    if (!id) return std::nullopt;
    const auto epid = static_cast<unsigned char>(*id);
    try {
        epid_map.emplace(endpoint, epid);
    } catch (...) {
        slots.remove(*id);  // a failed insertion must not use up the EPID
        throw;
    }
    if (on_added) on_added(epid);
    return epid;
}

bool Endpoint_Allowed::remove(const udp::endpoint& endpoint, const On_Change& on_removed) {
    boost::unique_lock lock(mutex);
    const auto found = epid_map.find(endpoint);
    if (found == epid_map.end()) return false;
    const std::uint8_t epid = found->second;
    epid_map.erase(found);
    if (on_removed) on_removed(epid);
    try {
        slots.remove(epid);
    } catch (const std::out_of_range& error) {
        // The map and the slots disagree; the map entry is gone all the same.
        QUORIN_LOG_ERROR("Sparse array index out of range: ", error.what());
    }
    return true;
}

void Endpoint_Allowed::clear(const On_Change& on_removed) {
    boost::unique_lock lock(mutex);
    if (on_removed)
        for (const auto& [endpoint, epid] : epid_map) on_removed(epid);
    epid_map.clear();
    slots.clear();
}

bool Endpoint_Allowed::get(unsigned char epid, udp::endpoint& out) const {
    boost::shared_lock lock(mutex);
    const Endpoint_Struct& slot = slots[epid];
    if (slot.empty) return false;
    out = slot.endpoint;
    return true;
}

bool Endpoint_Allowed::to_epid(const udp::endpoint& endpoint, unsigned char& epid) const {
    boost::shared_lock lock(mutex);
    const auto found = epid_map.find(endpoint);
    if (found == epid_map.end()) return false;
    epid = found->second;
    return true;
}

void Endpoint_Allowed::list_all(std::vector<std::pair<unsigned char, udp::endpoint>>& out) const {
    boost::shared_lock lock(mutex);
    for (std::size_t id = 0; id < slots.size(); ++id) {
        const Endpoint_Struct& slot = slots[static_cast<std::uint16_t>(id)];
        if (!slot.empty) out.emplace_back(static_cast<unsigned char>(id), slot.endpoint);
    }
}

}  // namespace Quorin_Core
