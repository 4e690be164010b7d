#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "system/Device_Harness.hpp"

// Which client an SDO answer reaches, and what becomes of requests that cannot go, through the
// real binary and a simulated device that echoes every message.
namespace Quorin_Test {
namespace {

using Quorin_Tools::Devsim::Behaviour;
using Quorin_Tools::Devsim::Counters;
using ::testing::HasSubstr;

Bytes answer(std::uint32_t sequence, std::uint8_t epid) { return Udp_Client::sdo_request(sequence, 6, 0x61, epid); }

class SDO_Delivery : public Device_Server_Test {
protected:
    void unlink(const Udp_Client& client) {
        EXPECT_EQ(ask("sdo hand -c " + client.endpoint_args()), "OK removed sdo link on [hand]\r\n");
    }
    /// Sends request `sequence` from `client` and expects its own answer, with EPID `epid`, to be
    /// the first datagram the client gets.
    void expect_own_answer(Udp_Client& client, std::uint32_t sequence, std::uint8_t epid) {
        ASSERT_TRUE(client.send_to(ports.sdo, Udp_Client::sdo_request(sequence)));
        EXPECT_EQ(client.receive(10s), answer(sequence, epid)) << "request " << sequence;
    }
};

TEST_F(SDO_Delivery, requests_of_a_removed_link_are_never_answered_to_the_next_holder_of_its_epid) {
    Device_Simulator& device = add_device("hand");
    Udp_Client a, b, c, d;
    // Queued while the device is closed: removing the link takes the request back, so the EPID
    // is free for the next client at once.
    link_sdo(a);
    EXPECT_EQ(ask("dev hand -c"), Expected::closed("hand"));
    ASSERT_TRUE(a.send_to(ports.sdo, Udp_Client::sdo_request(1)));
    ask_until("diag hand -sdo 0", [](const std::string& report) { return report.find("tx sdo: [1]") != std::string::npos; });
    unlink(a);
    link_sdo(b);
    EXPECT_EQ(ask("lssdo hand"), "{\"mailboxes\":[\"[0] 127.0.0.1:" + std::to_string(b.port()) + "\"]}\r\n");
    EXPECT_EQ(ask("dev hand -o"), Expected::opened("hand"));
    expect_own_answer(b, 2, 0);
    EXPECT_THAT(ask("diag hand -sdo"), HasSubstr("link removed[1]"));

    // Sent, and its answer still on the way when the link goes: the EPID is held back, the next
    // client gets another, and the late answer is dropped; then the EPID is free again.
    Behaviour late;
    late.answer_delay = 300ms;
    device.set_behaviour(late);
    ASSERT_TRUE(b.send_to(ports.sdo, Udp_Client::sdo_request(3)));
    ASSERT_TRUE(device.wait_for([](const Counters& seen) { return seen.sdo_messages == 2; }, 10s));
    unlink(b);
    link_sdo(c);
    EXPECT_EQ(ask("lssdo hand"), "{\"mailboxes\":[\"[1] 127.0.0.1:" + std::to_string(c.port()) + "\"]}\r\n");
    expect_own_answer(c, 4, 1);
    ask_until("diag hand -sdo", [](const std::string& report) { return report.find("owed to removed link[1]") != std::string::npos; });
    link_sdo(d);
    EXPECT_THAT(ask("lssdo hand"), HasSubstr("\"[0] 127.0.0.1:" + std::to_string(d.port())));
}

TEST_F(SDO_Delivery, after_an_answer_is_lost_or_corrupted_the_next_client_gets_the_answer_to_its_first_request) {
    Device_Simulator& device = add_device("hand");
    // The lost answer's EPID stays held back: the next clients get EPIDs 1 and then 3.
    std::uint8_t next_epid = 1;
    Behaviour dropping, corrupting;
    dropping.faults.drop_every = corrupting.faults.corrupt_crc_every = 1;
    Udp_Client clients[4];  // all open to the end: a closed client's port could come back, still linked
    for (const Behaviour& faulty : {dropping, corrupting}) {
        Udp_Client &leaving = clients[next_epid - 1], &next = clients[next_epid];
        link_sdo(leaving);
        device.set_behaviour(faulty);
        const auto faults = device.counters().faults_dropped + device.counters().faults_crc;
        ASSERT_TRUE(leaving.send_to(ports.sdo, Udp_Client::sdo_request(next_epid)));
        ASSERT_TRUE(device.wait_for([&](const Counters& seen) { return seen.faults_dropped + seen.faults_crc > faults; }, 10s));
        device.set_behaviour({});
        unlink(leaving);
        link_sdo(next);
        expect_own_answer(next, 100 + next_epid, next_epid);
        next_epid += 2;
    }
}

TEST_F(SDO_Delivery, a_0xf0_request_goes_whole_and_alone_in_its_frame_and_its_0xf1_answer_goes_nowhere) {
    const Device_Simulator& device = add_device("hand");
    Udp_Client client;
    link_sdo(client);
    // Queued together while closed, so that the session packs what it may into one frame.
    EXPECT_EQ(ask("dev hand -c"), Expected::closed("hand"));
    for (const Bytes& request : {Udp_Client::sdo_request(1), Bytes{0xF0, 5, 6, 7, 0x99, 8, 9}, Udp_Client::sdo_request(2)})
        ASSERT_TRUE(client.send_to(ports.sdo, request));
    ask_until("diag hand -sdo 0", [](const std::string& report) { return report.find("tx sdo: [3]") != std::string::npos; });
    EXPECT_EQ(ask("dev hand -o"), Expected::opened("hand"));
    EXPECT_EQ(client.receive(10s), answer(1, 0));
    EXPECT_EQ(client.receive(10s), answer(2, 0));
    expect_own_answer(client, 3, 0);  // and no 0xF1 answer before it: the link's split stops at it
    // Nothing was packed behind the 0xF0 request, nor it behind another. The counters show an
    // answer's frame a little after the answer.
    ASSERT_TRUE(device.wait_for([](const Counters& seen) { return seen.sdo_messages == 3; }, 10s));
    EXPECT_EQ((std::array{device.counters().sdo_whole_requests, device.counters().sdo_unparsed}), (std::array<std::uint64_t, 2>{1, 0}));
}

TEST_F(SDO_Delivery, a_request_no_window_of_the_pdo_cycle_can_carry_is_dropped_and_counted_not_kept_for_ever) {
    Quorin_Tools::Devsim::Config paced;
    paced.baud = 4000000;
    add_device("hand", paced);
    Udp_Client pdo_client, client;
    for (const std::string& line : Lines{"pdo hand -f 500", "pdo hand -o " + pdo_client.endpoint_args(), "pdo hand -e"})
        ASSERT_THAT(ask(line), StartsWith("OK")) << line;
    link_sdo(client);
    Bytes large = Udp_Client::sdo_request(1, 207, 0x7B);
    large[6] = 200;  // two extension bytes, then the length: 5 + 2 + 200 bytes
    ASSERT_TRUE(client.send_to(ports.sdo, large));
    ask_until("diag hand -rts", [](const std::string& report) { return report.ends_with("--tx sdo discarded: 1\n"); });
    expect_own_answer(client, 2, 0);
}

}  // namespace
}  // namespace Quorin_Test
