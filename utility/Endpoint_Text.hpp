#pragma once

#include <string>

namespace Quorin_Core::Utility {

/// "address:port" of a TCP or UDP endpoint, the address in its text form (IPv6 without brackets).
template <typename Endpoint>
std::string endpoint_text(const Endpoint& endpoint) {
    return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

}  // namespace Quorin_Core::Utility
