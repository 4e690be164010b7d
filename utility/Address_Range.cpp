#include "utility/Address_Range.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>

namespace Quorin_Core::Utility {
namespace {

constexpr const char* blanks = " \t";

boost::asio::ip::address unmapped(const boost::asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
    return address;
}

/// The address's bytes with every bit after the first `prefix_bits` cleared.
template <std::size_t Size>
std::array<unsigned char, Size> masked(std::array<unsigned char, Size> bytes, unsigned prefix_bits) {
    for (std::size_t i = 0; i < Size; ++i) {
        const unsigned bits_here = prefix_bits > i * 8 ? std::min(8u, prefix_bits - static_cast<unsigned>(i * 8)) : 0u;
        bytes[i] &= static_cast<unsigned char>(0xFF00u >> bits_here);
    }
    return bytes;
}

boost::asio::ip::address masked(const boost::asio::ip::address& address, unsigned prefix_bits) {
    if (address.is_v4()) return boost::asio::ip::address_v4(masked(address.to_v4().to_bytes(), prefix_bits));
    return boost::asio::ip::address_v6(masked(address.to_v6().to_bytes(), prefix_bits));
}

unsigned parse_prefix(const std::string& text, unsigned most) {
    if (text.empty() || text.size() > 3 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        throw std::invalid_argument("prefix length [" + text + "] is not a number");
    const unsigned prefix = static_cast<unsigned>(std::stoul(text));
    if (prefix > most) throw std::invalid_argument("prefix length [" + text + "] exceeds " + std::to_string(most));
    return prefix;
}

}  // namespace

Address_Range::Address_Range(const boost::asio::ip::address& network, unsigned prefix_bits)
    : network(masked(network, prefix_bits)), prefix_bits(prefix_bits) {}

Address_Range Address_Range::parse(const std::string& text) {
    const auto slash = text.find('/');
    const std::string address_text = text.substr(0, slash);
    boost::system::error_code error;
    const auto address = unmapped(boost::asio::ip::make_address(address_text, error));
    if (error) throw std::invalid_argument("address [" + address_text + "] is not an IP address");
    const unsigned most = address.is_v4() ? 32 : 128;
    const unsigned prefix = slash == std::string::npos ? most : parse_prefix(text.substr(slash + 1), most);
    return Address_Range(address, prefix);
}

std::vector<Address_Range> Address_Range::parse_list(const std::string& text) {
    std::vector<Address_Range> ranges;
    std::size_t start = 0;
    for (;;) {
        const auto comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const auto first = item.find_first_not_of(blanks);
        item = first == std::string::npos ? std::string() : item.substr(first, item.find_last_not_of(blanks) - first + 1);
        if (item.empty()) throw std::invalid_argument("empty entry in the list");
        ranges.push_back(parse(item));
        if (comma == std::string::npos) return ranges;
        start = comma + 1;
    }
}

bool Address_Range::contains(const boost::asio::ip::address& address) const {
    const auto plain = unmapped(address);
    return plain.is_v4() == network.is_v4() && masked(plain, prefix_bits) == network;
}

std::string Address_Range::to_string() const { return network.to_string() + "/" + std::to_string(prefix_bits); }

bool allowed_by(const std::vector<Address_Range>& ranges, const boost::asio::ip::address& address) {
    return ranges.empty() ||
           std::any_of(ranges.begin(), ranges.end(), [&](const Address_Range& range) { return range.contains(address); });
}

}  // namespace Quorin_Core::Utility
