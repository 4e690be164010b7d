#include "services/Endpoint_Allowed.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "services/Sparse_Array.hpp"

namespace {

using Quorin_Core::Endpoint_Allowed;
using Quorin_Core::Sparse_Array;
using boost::asio::ip::make_address;
using boost::asio::ip::udp;

udp::endpoint client(unsigned n) { return {make_address("10.0.0." + std::to_string(n % 250 + 1)), static_cast<unsigned short>(9000 + n)}; }

std::vector<unsigned> epids_of(const Endpoint_Allowed& links) {
    std::vector<std::pair<unsigned char, udp::endpoint>> all;
    links.list_all(all);
    std::vector<unsigned> epids;
    for (const auto& [epid, endpoint] : all) epids.push_back(epid);
    return epids;
}

// The order in which freed ids come back is checked through Endpoint_Allowed below.
TEST(Sparse_Array, a_freed_id_is_handed_out_once_and_free_ids_read_as_the_default) {
    Sparse_Array<int> array(4);
    for (int value : {10, 11, 12, 13}) array.add(value);
    EXPECT_FALSE(array.add(14)) << "full";
    array.remove(2);
    array.remove(2);  // freeing a free id must not put it in the free list twice
    EXPECT_EQ(array[2], 0);
    EXPECT_EQ(array[99], 0) << "beyond the slots";
    EXPECT_EQ(array.add(30), 2);
    EXPECT_FALSE(array.add(31)) << "id 2 was handed out twice";
    EXPECT_THROW(array.remove(4), std::out_of_range);

    array.clear();
    EXPECT_EQ(array.add(40), 0);
}

TEST(Endpoint_Allowed, hash_is_fnv1a_over_the_address_bytes_then_the_port_in_host_order) {
    const Endpoint_Allowed::Endpoint_Hash hash;
    EXPECT_EQ(hash({make_address("127.0.0.1"), 9000}), std::size_t{0xb77035151349a074});
    EXPECT_EQ(hash({make_address("::1"), 9000}), std::size_t{0x085772cc51ef43f7});
}

TEST(Endpoint_Allowed, hands_out_epids_in_order_and_reuses_the_last_freed_first) {
    Endpoint_Allowed links;
    EXPECT_EQ(links.add(client(0)), 0);
    EXPECT_EQ(links.add(client(1)), 1);
    EXPECT_FALSE(links.add(client(1))) << "already linked";

    ASSERT_TRUE(links.remove(client(0)));
    EXPECT_FALSE(links.remove(client(0)));
    EXPECT_EQ(links.add(client(2)), 0);

    ASSERT_TRUE(links.remove(client(1)));
    ASSERT_TRUE(links.remove(client(2)));
    EXPECT_EQ(links.add(client(3)), 0);
    int told = -1;
    EXPECT_EQ(links.add(client(4), [&](unsigned char epid) { told = epid; }), 1);
    EXPECT_EQ(told, 1) << "on_added is told the new EPID";

    udp::endpoint found;
    unsigned char epid = 0;
    EXPECT_TRUE(links.get(1, found));
    EXPECT_EQ(found, client(4));
    EXPECT_FALSE(links.get(2, found));
    EXPECT_FALSE(links.get(255, found));
    EXPECT_TRUE(links.to_epid(client(3), epid));
    EXPECT_EQ(epid, 0);
    EXPECT_FALSE(links.to_epid(client(1), epid));
    EXPECT_FALSE(links.to_epid({make_address("::ffff:10.0.0.4"), 9003}, epid)) << "a mapped v6 address is another endpoint";
}

TEST(Endpoint_Allowed, holds_256_links_and_after_clear_starts_from_0_again) {
    Endpoint_Allowed links;
    for (unsigned n = 0; n < Endpoint_Allowed::max_links; ++n) ASSERT_EQ(links.add(client(n)), n);
    EXPECT_FALSE(links.add(client(256)));
    ASSERT_TRUE(links.remove(client(100)));
    EXPECT_EQ(links.add(client(256)), 100);

    links.clear();
    EXPECT_TRUE(epids_of(links).empty());
    udp::endpoint found;
    EXPECT_FALSE(links.get(0, found));
    EXPECT_EQ(links.add(client(7)), 0);
    EXPECT_EQ(links.add(client(0)), 1);
    EXPECT_EQ(epids_of(links), (std::vector<unsigned>{0, 1}));
}

TEST(Endpoint_Allowed, a_snapshot_never_shows_an_epid_or_an_endpoint_twice_while_others_change_the_links) {
    Endpoint_Allowed links;
    std::atomic<bool> done{false};
    std::atomic<unsigned> duplicates{0};
    std::thread reader([&] {
        while (!done) {
            std::vector<std::pair<unsigned char, udp::endpoint>> all;
            links.list_all(all);
            std::set<unsigned> epids;
            std::set<udp::endpoint> endpoints;
            for (const auto& [epid, endpoint] : all)
                if (!epids.insert(epid).second || !endpoints.insert(endpoint).second) ++duplicates;
        }
    });
    for (int round = 0; round < 2000; ++round) {
        for (unsigned n = 0; n < 8; ++n) links.add(client(n));
        for (unsigned n = 0; n < 8; n += 2) links.remove(client(n));
        if (round % 50 == 0) links.clear();
    }
    done = true;
    reader.join();
    EXPECT_EQ(duplicates, 0u);
}

}  // namespace
