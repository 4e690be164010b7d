#include "utility/Address_Range.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using Quorin_Core::Utility::Address_Range;
using boost::asio::ip::make_address;

TEST(Address_Range, a_range_holds_the_addresses_its_prefix_covers_and_an_ipv4_client_of_an_ipv6_socket_counts_as_ipv4) {
    const auto ranges = Address_Range::parse_list(" 192.168.1.77/24 ,::1, 10.0.0.0/0 ,fe80::1/10");
    ASSERT_EQ(ranges.size(), 4u);
    EXPECT_EQ(ranges[0].to_string(), "192.168.1.0/24");
    EXPECT_EQ(ranges[1].to_string(), "::1/128");
    EXPECT_EQ(ranges[3].to_string(), "fe80::/10");
    EXPECT_TRUE(ranges[0].contains(make_address("192.168.1.255")));
    EXPECT_TRUE(ranges[0].contains(make_address("::ffff:192.168.1.3")));
    EXPECT_FALSE(ranges[0].contains(make_address("192.168.2.1")));
    EXPECT_FALSE(ranges[1].contains(make_address("::2")));
    EXPECT_TRUE(ranges[2].contains(make_address("8.8.8.8"))) << "/0 holds every IPv4 address";
    EXPECT_FALSE(ranges[2].contains(make_address("::8"))) << "and no IPv6 one";
    EXPECT_TRUE(ranges[3].contains(make_address("febf::1")));
    EXPECT_FALSE(ranges[3].contains(make_address("fec0::1")));
    EXPECT_TRUE(Address_Range::parse("127.0.0.2").contains(make_address("127.0.0.2")));
    EXPECT_FALSE(Address_Range::parse("127.0.0.2").contains(make_address("127.0.0.1")));
}

TEST(Address_Range, a_bad_address_prefix_or_empty_entry_is_refused_with_its_reason) {
    const std::pair<const char*, const char*> cases[] = {
        {"localhost", "address [localhost] is not an IP address"}, {"10.0.0.0/33", "prefix length [33] exceeds 32"},
        {"::/129", "prefix length [129] exceeds 128"}, {"10.0.0.0/", "prefix length [] is not a number"},
        {"10.0.0.0/-1", "prefix length [-1] is not a number"}, {"10.0.0.1,", "empty entry in the list"}};
    for (const auto& [text, reason] : cases) {
        try {
            Address_Range::parse_list(text);
            ADD_FAILURE() << text << " was taken";
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), reason) << text;
        }
    }
}

}  // namespace
