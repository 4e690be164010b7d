#include "services/SDO_Service.hpp"

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>

#include "server/Device.hpp"
#include "services/SDO_Mailbox.hpp"
#include "support/Pty_Pair.hpp"
#include "support/Udp_Client.hpp"

namespace Quorin_Test {
namespace {

using Quorin_Core::Device;
using Mailbox = Quorin_Core::SDO_Service::Mailbox;
using Datagram = Bytes;
using boost::asio::ip::udp;

udp::endpoint loopback(const Udp_Client& client) { return {boost::asio::ip::make_address("127.0.0.1"), client.port()}; }

Datagram answer(std::uint32_t sequence, std::uint8_t epid, std::size_t size = 6, std::uint8_t header = 0x61) {
    return Udp_Client::sdo_request(sequence, size, header, epid);
}

/// An SDO service on its own thread, as the server runs it, with devices on ptys whose sessions
/// never start: the test plays the session through the devices' queues.
class SDO_Service_Test : public ::testing::Test {
protected:
    // The server's order: devices, then the mailboxes, then the context.
    ~SDO_Service_Test() override {
        devices.clear(), service.remove_all_mailboxes(), work.reset(), context.stop(), thread.join();
    }

    std::shared_ptr<Device> make_device(const std::string& name) {
        ptys.push_back(std::make_unique<Pty_Pair>());
        return devices.emplace_back(std::make_shared<Device>(name, ptys.back()->port_path(), 115200, false));
    }

    /// A mailbox for `device` with `count` more linked clients (EPIDs 0, 1, ...).
    std::shared_ptr<Mailbox> mailbox_with_clients(const std::shared_ptr<Device>& device, unsigned count) {
        service.add_mailbox(device->served());
        auto mailbox = service.get_mailbox(&device->session, 0);
        for (unsigned i = 0; i < count; ++i) mailbox->add_link(loopback(*clients.emplace_back(std::make_unique<Udp_Client>())));
        return mailbox;
    }

    /// The next request the device's session would send.
    static Datagram take_request(Device& device) {
        Datagram request(Mailbox::datagram_bytes);
        std::uint64_t got = 0;
        eventually([&] { return (got = device.tx_queue->dequeue(request.size(), request.data())) != 0; });
        return request.resize(got), request;
    }

    static void put_answers(Device& device, const std::vector<Datagram>& answers) {
        for (const auto& one : answers) ASSERT_EQ(device.rx_queue->enqueue(one.data(), one.size()), 0);
    }

    /// Nothing has reached `client` so far: a marker sent to it now is the next datagram it gets.
    static void expect_nothing_before_a_marker(Udp_Client& client) {
        ASSERT_TRUE(Udp_Client().send_to(client.port(), {'m'}));
        EXPECT_EQ(client.receive(), Datagram{'m'});
    }

    boost::asio::io_context context;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{context.get_executor()};
    std::thread thread{[this] { context.run(); }};
    const std::uint16_t base_port = free_port_range(4);
    Quorin_Core::SDO_Service service{context, base_port};
    std::vector<std::unique_ptr<Pty_Pair>> ptys;
    std::vector<std::shared_ptr<Device>> devices;
    std::vector<std::unique_ptr<Udp_Client>> clients;
};

// Listings, link order and port numbering are checked through the sdo and lssdo commands.
TEST_F(SDO_Service_Test, one_mailbox_a_device_found_by_device_or_port_serving_on_after_its_device_is_gone_until_swept) {
    const auto arm = make_device("arm");
    auto hand = make_device("hand");
    EXPECT_EQ(service.add_mailbox(arm->served()), base_port);
    EXPECT_EQ(service.add_mailbox(arm->served()), 0) << "one mailbox per device";
    const auto mailbox = mailbox_with_clients(hand, 1);
    EXPECT_EQ(mailbox->local_port(), base_port + 1);
    EXPECT_EQ(service.get_mailbox(nullptr, base_port + 1), mailbox);
    EXPECT_FALSE(service.get_mailbox(nullptr, 0));
    ASSERT_TRUE(service.remove_mailbox(nullptr, base_port));
    EXPECT_FALSE(service.remove_mailbox(&arm->session, 0));
    EXPECT_FALSE(service.get_mailbox(&arm->session, 0));

    // hand goes; only its mailbox still holds its queues, and serves them until it is swept.
    const auto answers = hand->rx_queue;
    devices.clear();
    ASSERT_EQ(hand.use_count(), 1) << "the mailbox holds no share of the device";
    hand.reset();
    ASSERT_EQ(answers->enqueue(answer(1, 0).data(), 6), 0);
    EXPECT_EQ(clients[0]->receive(), answer(1, 0));
    EXPECT_EQ(service.mailbox_count(), 0u) << "swept";
    EXPECT_TRUE(eventually([&] { return mailbox.use_count() == 1; })) << "its loops ended";
}

TEST_F(SDO_Service_Test, requests_of_linked_clients_go_to_the_device_with_their_epid_answers_go_back_by_it_and_the_rest_are_dropped) {
    const auto hand = make_device("hand");
    const auto mailbox = mailbox_with_clients(hand, 2);
    const auto port = mailbox->local_port();
    const auto variable = [](std::uint32_t sequence, std::uint8_t length_byte, std::size_t size) {
        Datagram request = Udp_Client::sdo_request(sequence, size, 0x7B);  // two extension bytes, then the length byte
        return request[6] = length_byte, request;
    };
    const auto request = [](std::uint32_t sequence, std::size_t size, std::uint8_t header = 0x61) {
        return Udp_Client::sdo_request(sequence, size, header);
    };
    // Header 0x60 carries no message code and a 7-byte message claims 6: neither is one whole
    // message, which would throw the device's reading of the frame out of step. A 0xF0 request
    // goes whole, up to the transmit queue's limit.
    const std::vector<std::tuple<Datagram, bool>> cases{
        {request(1, 6), true}, {request(2, 5), false}, {request(3, 10, 0x63), true}, {variable(4, 255, 262), true},
        {request(5, 6, 0x5F), false}, {request(6, 6, 0x80), false}, {request(8, 6, 0xF1), false},
        {request(9, 6, 0x60), false}, {request(10, 7, 0xF0), true}, {request(11, 7), false},
        {variable(12, 11, 17), false}, {request(13, 1014, 0xF0), true}, {request(14, 1015, 0xF0), false},
        {request(13, 2000), false /* cut to 1024 on arrival */}};
    const auto with_epid_1 = [](Datagram datagram) { return datagram[Mailbox::epid_offset] = 1, datagram; };
    for (const auto& [sent, accepted] : cases) {
        ASSERT_TRUE(clients[1]->send_to(port, sent));
        ASSERT_TRUE(Udp_Client().send_to(port, request(100, 6))) << "from an unlinked client";
        ASSERT_TRUE(clients[1]->send_to(port, request(1000, 6)));  // a marker: comes first if the case was dropped
        if (accepted) {
            EXPECT_EQ(take_request(*hand), with_epid_1(sent)) << sent.size();
        }
        EXPECT_EQ(take_request(*hand), with_epid_1(request(1000, 6))) << sent.size() << " bytes not dropped";
    }
    // Counted: the five accepted and the fourteen markers.
    EXPECT_TRUE(eventually([&] { return mailbox->get_diagnostics(1).tx_sdo == 19; }));
    EXPECT_EQ(mailbox->get_diagnostics(1).tx_sdo_bytes, 6 + 10 + 262 + 7 + 1014 + 14 * 6u);
    EXPECT_EQ(mailbox->get_diagnostics(1).rx_sdo + mailbox->get_diagnostics(0).tx_sdo, 0u);

    // Answers go back unchanged to the client of the EPID they carry.
    auto &first = *clients[0], &second = *clients[1];
    put_answers(*hand, {answer(1, 1), answer(2, 0, 6, 0xF1), answer(3, 0, 6, 0xF0) /* the client's header */,
                        answer(4, 7) /* no client has EPID 7 */, answer(5, 0, 5), answer(6, 0, 1014, 0x7F)});
    EXPECT_EQ(second.receive(), answer(1, 1));
    EXPECT_EQ(first.receive(), answer(2, 0, 6, 0xF1));
    EXPECT_EQ(first.receive(), answer(6, 0, 1014, 0x7F)) << "the dropped ones between did not come, nor held it up";
    EXPECT_TRUE(eventually([&] { return mailbox->get_diagnostics(0).rx_sdo == 2; }));
    EXPECT_EQ(mailbox->get_diagnostics(0).rx_sdo_bytes, 1020u);
    EXPECT_EQ(mailbox->get_diagnostics(1).rx_sdo, 1u);

    // A link added again starts its counters from 0; an unlinked EPID's answers go nowhere.
    ASSERT_TRUE(mailbox->remove_link(loopback(first)));
    ASSERT_TRUE(mailbox->add_link(loopback(first)));
    EXPECT_EQ(mailbox->get_diagnostics(0).rx_sdo, 0u);
    ASSERT_TRUE(mailbox->remove_link(loopback(first)));
    put_answers(*hand, {answer(7, 0), answer(8, 1)});
    EXPECT_EQ(second.receive(), answer(8, 1));
    expect_nothing_before_a_marker(first);
}

TEST_F(SDO_Service_Test, what_was_owed_to_or_left_by_a_removed_link_or_mailbox_never_reaches_another_client) {
    using Drop = Mailbox::Drop;
    const auto hand = make_device("hand");
    put_answers(*hand, {answer(1, 0)});  // left in the device queues before any mailbox
    ASSERT_EQ(hand->tx_queue->enqueue(answer(2, 0).data(), 6), 0);
    auto mailbox = mailbox_with_clients(hand, 1);
    EXPECT_EQ(hand->rx_queue->count() + hand->tx_queue->count(), 0u) << "a new mailbox discards them";
    Udp_Client& leaving = *clients[0];
    const auto request_from = [&](Udp_Client& client, std::uint32_t sequence) {
        EXPECT_TRUE(client.send_to(mailbox->local_port(), Udp_Client::sdo_request(sequence)));
        return take_request(*hand);
    };
    // Two requests reached the device and a third is queued when the link goes: the queued one is
    // taken back, and EPID 0 is held back until the two answers have come.
    const Datagram owed_1 = request_from(leaving, 1), owed_2 = request_from(leaving, 2);
    ASSERT_TRUE(leaving.send_to(mailbox->local_port(), Udp_Client::sdo_request(3)));
    ASSERT_TRUE(eventually([&] { return hand->tx_queue->count() == 1; }));
    ASSERT_TRUE(mailbox->remove_link(loopback(leaving)));
    EXPECT_EQ(hand->tx_queue->count(), 0u);
    Udp_Client next, last;
    ASSERT_TRUE(mailbox->add_link(loopback(next)));
    udp::endpoint linked;
    EXPECT_TRUE(mailbox->get_link(1, linked) && linked == loopback(next)) << "EPID 0 is held back";
    const Datagram own = request_from(next, 4);
    put_answers(*hand, {owed_1, owed_2, own});  // the device answers in order
    EXPECT_EQ(next.receive(), own);
    expect_nothing_before_a_marker(leaving);
    const auto drops = mailbox->drop_counts();
    EXPECT_EQ(drops[std::size_t(Drop::link_removed)], 1u);
    EXPECT_EQ(drops[std::size_t(Drop::owed_answer)], 2u);
    ASSERT_TRUE(mailbox->add_link(loopback(last)));
    EXPECT_TRUE(mailbox->get_link(0, linked) && linked == loopback(last)) << "free again once nothing is owed";
}

}  // namespace
}  // namespace Quorin_Test
