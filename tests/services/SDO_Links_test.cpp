// The links of an SDO mailbox, their EPIDs, and the account of answers owed to them.
#include "services/Endpoint_Allowed.hpp"
#include "services/EPID_Ledger.hpp"

#include <gtest/gtest.h>

#include <set>

#include "utility/Sparse_Array.hpp"

namespace {

using namespace std::chrono_literals;
using Quorin_Core::Endpoint_Allowed;
using Quorin_Core::EPID_Ledger;
using boost::asio::ip::make_address;
using boost::asio::ip::udp;

udp::endpoint client(unsigned n) { return {make_address("10.0.0." + std::to_string(n % 250 + 1)), static_cast<unsigned short>(9000 + n)}; }

// Freeing a free id, which Endpoint_Allowed never does, must not put it in the free list twice.
TEST(Sparse_Array, a_freed_id_is_handed_out_once) {
    Quorin_Core::Utility::Sparse_Array<int> array(4);
    for (int value : {10, 11, 12, 13}) array.add(value);
    array.remove(2);
    array.remove(2);
    EXPECT_EQ(array[2], 0);
    EXPECT_EQ(array.add(30), 2);
    EXPECT_FALSE(array.add(31)) << "id 2 was handed out twice";
    EXPECT_THROW(array.remove(4), std::out_of_range);
}

TEST(Endpoint_Allowed, hands_out_epids_in_order_reuses_the_last_freed_first_and_tells_endpoints_apart) {
    Endpoint_Allowed links;
    EXPECT_EQ(links.add(client(0)), 0);
    EXPECT_EQ(links.add(client(1)), 1);
    EXPECT_FALSE(links.add(client(1))) << "already linked";
    ASSERT_TRUE(links.remove(client(0)));
    EXPECT_FALSE(links.remove(client(0)));
    ASSERT_TRUE(links.remove(client(1)));
    int told = -1;
    EXPECT_EQ(links.add(client(3), [&](unsigned char epid) { told = epid; }), 1);
    EXPECT_EQ(told, 1) << "on_added is told the new EPID";
    EXPECT_EQ(links.add(client(4)), 0);
    udp::endpoint found;
    unsigned char epid = 0;
    EXPECT_TRUE(links.get(0, found) && found == client(4));
    EXPECT_FALSE(links.get(2, found));
    EXPECT_TRUE(links.to_epid(client(3), epid) && epid == 1);
    EXPECT_FALSE(links.to_epid(client(1), epid));

    // Alike in all but one part, or the same bytes in another order: each is its own link.
    const std::vector<udp::endpoint> alike{{make_address("10.0.0.4"), 0x0102}, {make_address("10.0.0.4"), 0x0201},
                                           {make_address("4.0.0.10"), 0x0102}, {make_address("::ffff:10.0.0.4"), 0x0102}};
    std::set<std::size_t> hashes;
    for (const auto& endpoint : alike) {
        EXPECT_TRUE(links.add(endpoint)) << endpoint;
        hashes.insert(Endpoint_Allowed::Endpoint_Hash()(endpoint));
    }
    EXPECT_EQ(hashes.size(), alike.size());
    EXPECT_TRUE(links.remove(alike[3]) && links.to_epid(alike[0], epid)) << "removing one kept its look-alike";

    // An EPID that may not be had now (held back) is passed over and keeps its place.
    ASSERT_TRUE(links.remove(client(4)));
    const auto not_0 = [](unsigned char candidate) { return candidate != 0; };
    EXPECT_EQ(links.add(client(5), {}, not_0), 5);
    EXPECT_EQ(links.add(client(6), {}, not_0), 6);
    EXPECT_EQ(links.add(client(7)), 0);
}

TEST(Endpoint_Allowed, holds_256_links_and_after_clear_starts_from_0_again) {
    Endpoint_Allowed links;
    for (unsigned n = 0; n < Endpoint_Allowed::max_links; ++n) ASSERT_EQ(links.add(client(n)), n);
    EXPECT_FALSE(links.add(client(256)));
    ASSERT_TRUE(links.remove(client(100)));
    EXPECT_EQ(links.add(client(256)), 100);
    unsigned cleared = 0;
    links.clear([&](unsigned char) { ++cleared; });
    EXPECT_EQ(cleared, Endpoint_Allowed::max_links) << "on_removed for each";
    udp::endpoint found;
    EXPECT_FALSE(links.get(0, found));
    EXPECT_EQ(links.add(client(7), {}, [](unsigned char candidate) { return candidate != 0; }), 1);
    EXPECT_EQ(links.add(client(0)), 0);
    std::vector<std::pair<unsigned char, udp::endpoint>> all;
    links.list_all(all);
    EXPECT_EQ(all, (std::vector<std::pair<unsigned char, udp::endpoint>>{{0, client(0)}, {1, client(7)}}));
}

TEST(EPID_Ledger, holds_an_epid_back_while_its_removed_link_is_owed_answers_until_they_come_or_the_hold_ends) {
    EPID_Ledger ledger;
    const EPID_Ledger::Run_Time t0 = 10s, hold = 6s;
    ledger.request_sent(1);
    ledger.request_sent(1);
    EXPECT_FALSE(ledger.answer_owed_to_removed_link(1, t0)) << "answered while still linked";
    ledger.unlinked(1, t0, hold);
    EXPECT_TRUE(ledger.held(1, t0 + 5s));
    EXPECT_FALSE(ledger.held(2, t0)) << "other EPIDs are not touched";
    EXPECT_TRUE(ledger.answer_owed_to_removed_link(1, t0 + 5s));
    EXPECT_FALSE(ledger.held(1, t0 + 5s)) << "free once nothing is owed";
    EXPECT_FALSE(ledger.answer_owed_to_removed_link(1, t0 + 5s)) << "the next holder's own";

    // Requests that never reached the device are owed nothing: the EPID is free at once.
    const std::uint8_t discarded[6] = {0x61, 0, 0, 0, 2, 0};
    ledger.request_sent(2);
    ledger.request_discarded(discarded, sizeof discarded);
    ledger.unlinked(2, t0, hold);
    EXPECT_FALSE(ledger.held(2, t0));

    // An answer lost for good holds its EPID back no longer than the hold.
    ledger.request_sent(3);
    ledger.unlinked(3, t0, hold);
    EXPECT_TRUE(ledger.held(3, t0 + hold - 1ns));
    EXPECT_FALSE(ledger.held(3, t0 + hold));

    EXPECT_EQ(EPID_Ledger::hold_time(0, 2.94f), EPID_Ledger::min_hold);
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(EPID_Ledger::hold_time(16384, 2.94f)), 97s)
        << "a full queue of the largest requests crosses the line twice";
}

}  // namespace
