#pragma once

#include <boost/asio/ip/address.hpp>

#include <string>
#include <vector>

namespace Quorin_Core::Utility {

/// A range of IP addresses in CIDR form: "192.168.1.0/24", "::1/128", or a bare address for
/// that one host. An IPv4 address seen by an IPv6 socket (::ffff:a.b.c.d) is matched as IPv4.
class Address_Range {
public:
    /// Reads "ADDRESS[/PREFIX]"; throws std::invalid_argument with a description when the
    /// address does not parse or the prefix is not 0 to 32 (IPv4) or 0 to 128 (IPv6).
    static Address_Range parse(const std::string& text);
    /// Reads a comma-separated list of ranges (blanks around each are ignored); throws as parse.
    static std::vector<Address_Range> parse_list(const std::string& text);

    bool contains(const boost::asio::ip::address& address) const;
    /// The canonical text: the network address, "/" and the prefix length.
    std::string to_string() const;

private:
    Address_Range(const boost::asio::ip::address& network, unsigned prefix_bits);

    boost::asio::ip::address network;
    unsigned prefix_bits;
};

/// Whether `address` is in one of `ranges`; an empty list allows every address.
bool allowed_by(const std::vector<Address_Range>& ranges, const boost::asio::ip::address& address);

}  // namespace Quorin_Core::Utility
