#include "services/SDO_Service.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "server/Device.hpp"
#include "services/SDO_Mailbox.hpp"
#include "support/Free_Port.hpp"
#include "support/Pty_Pair.hpp"
#include "support/Udp_Client.hpp"

namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using Quorin_Core::Device;
using Quorin_Core::SDO_Service;
using Quorin_Test::Pty_Pair;
using Quorin_Test::Udp_Client;
using Datagram = Udp_Client::Bytes;
using Mailbox = SDO_Service::Mailbox;
using boost::asio::ip::make_address;
using boost::asio::ip::udp;

constexpr std::uint32_t test_baud = 115200;
constexpr auto patience = 5s;
using Quorin_Test::eventually;

udp::endpoint loopback(const Udp_Client& client) { return {make_address("127.0.0.1"), client.port()}; }

/// An SDO service on its own context and thread, as the server runs it, with devices on ptys
/// whose sessions never start: the test plays the session by using the devices' queues.
class SDO_Service_Test : public ::testing::Test {
protected:
    static constexpr unsigned ports_in_range = 4;

    ~SDO_Service_Test() override {
        // The server's order: devices first, then the mailboxes, then the context.
        devices.clear();
        service->remove_all_mailboxes();
        work.reset();
        context.stop();
        thread.join();
    }

    std::shared_ptr<Device> make_device(const std::string& name) {
        ptys.push_back(std::make_unique<Pty_Pair>());
        devices.push_back(std::make_shared<Device>(name, ptys.back()->port_path(), test_baud, false));
        return devices.back();
    }

    /// A device with a mailbox and `count` linked clients (EPIDs 0, 1, ...).
    std::shared_ptr<Mailbox> mailbox_with_clients(const std::shared_ptr<Device>& device,
                                                  std::vector<std::unique_ptr<Udp_Client>>& clients,
                                                  unsigned count) {
        service->add_mailbox(device);
        auto mailbox = service->get_mailbox(device.get(), 0);
        for (unsigned i = 0; i < count; ++i) {
            clients.push_back(std::make_unique<Udp_Client>());
            mailbox->add_link(loopback(*clients.back()));
        }
        return mailbox;
    }

    /// The next request the device's session would send, or empty after `timeout`.
    static Datagram take_request(Device& device, std::chrono::milliseconds timeout = patience) {
        Datagram request(Mailbox::datagram_bytes);
        std::uint64_t got = 0;
        eventually([&] { return (got = device.tx_queue->dequeue(request.size(), request.data())) != 0; }, timeout);
        request.resize(got);
        return request;
    }

    static void put_answer(Device& device, const Datagram& answer) {
        ASSERT_EQ(device.rx_queue->enqueue(answer.data(), answer.size()), 0);
    }

    static Datagram answer(std::uint32_t sequence, std::uint8_t epid, std::size_t size = 6, std::uint8_t header = 0x61) {
        return Udp_Client::sdo_request(sequence, size, header, epid);
    }

    boost::asio::io_context context;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{context.get_executor()};
    std::thread thread{[this] { context.run(); }};
    const std::uint16_t base_port = Quorin_Test::free_port_range(ports_in_range);
    std::unique_ptr<SDO_Service> service = std::make_unique<SDO_Service>(context, base_port);
    std::vector<std::unique_ptr<Pty_Pair>> ptys;
    std::vector<std::shared_ptr<Device>> devices;
};

TEST_F(SDO_Service_Test, one_mailbox_a_device_ports_count_up_lookups_go_by_device_or_port_and_listings_keep_order) {
    const auto arm = make_device("arm");
    const auto hand = make_device("hand");
    const auto leg = make_device("leg");

    EXPECT_EQ(service->add_mailbox(arm), base_port);
    EXPECT_EQ(service->add_mailbox(arm), 0) << "one mailbox per device";
    ASSERT_TRUE(service->remove_mailbox(arm.get(), 0));
    EXPECT_FALSE(service->remove_mailbox(arm.get(), 0));
    EXPECT_EQ(service->add_mailbox(hand), base_port + 1) << "a removed mailbox's port is not given back";
    EXPECT_EQ(service->add_mailbox(leg), base_port + 2);

    EXPECT_EQ(service->get_mailbox(nullptr, base_port + 1), service->get_mailbox(hand.get(), 0));
    EXPECT_FALSE(service->get_mailbox(arm.get(), 0));
    ASSERT_TRUE(service->remove_mailbox(nullptr, static_cast<unsigned short>(base_port + 2)));
    EXPECT_FALSE(service->get_mailbox(leg.get(), 0));

    // Each mailbox in creation order, with its links in EPID order.
    EXPECT_EQ(service->add_mailbox(arm), base_port + 3);
    const auto mailbox = service->get_mailbox(hand.get(), 0);
    ASSERT_TRUE(mailbox->add_link({make_address("192.168.1.10"), 9000}));
    ASSERT_TRUE(mailbox->add_link({make_address("10.1.2.3"), 7}));
    ASSERT_TRUE(mailbox->remove_link({make_address("192.168.1.10"), 9000}));
    ASSERT_TRUE(mailbox->add_link({make_address("::1"), 9001}));
    std::vector<std::string> all;
    service->list_mailboxes(all);
    const std::string hand_local = "0.0.0.0:" + std::to_string(base_port + 1);
    const std::string arm_local = "0.0.0.0:" + std::to_string(base_port + 3);
    EXPECT_THAT(all, ElementsAre(hand_local, "[0] ::1:9001", "[1] 10.1.2.3:7", arm_local));

    std::vector<std::string> links_only;
    mailbox->clear_links();
    ASSERT_TRUE(mailbox->add_link({make_address("10.9.9.9"), 1}));
    mailbox->list_links(links_only, false);
    EXPECT_THAT(links_only, ElementsAre("[0] 10.9.9.9:1"));
}

TEST_F(SDO_Service_Test, requests_from_linked_clients_are_queued_with_their_epid_and_everything_else_is_dropped) {
    const auto hand = make_device("hand");
    std::vector<std::unique_ptr<Udp_Client>> clients;
    const auto mailbox = mailbox_with_clients(hand, clients, 2);
    Udp_Client stranger;
    const auto port = mailbox->local_port();
    auto& second = *clients[1];

    struct Case {
        const char* what;
        Datagram request;
        bool accepted;
    };
    const auto variable = [](std::uint32_t sequence, std::uint8_t length_byte, std::size_t size) {
        Datagram request = Udp_Client::sdo_request(sequence, size, 0x7B);  // two extension bytes, then the length byte
        request[6] = length_byte;
        return request;
    };
    const std::vector<Case> cases{
        {"6 bytes, header 0x61", Udp_Client::sdo_request(1, 6, 0x61), true},
        {"5 bytes", Udp_Client::sdo_request(2, 5, 0x61), false},
        {"10 bytes, header 0x63", Udp_Client::sdo_request(3, 10, 0x63), true},
        {"262 bytes, the longest message", variable(4, 255, 262), true},
        {"header 0x5F", Udp_Client::sdo_request(5, 6, 0x5F), false},
        {"header 0x80", Udp_Client::sdo_request(6, 6, 0x80), false},
        {"header 0xF1, the device's own", Udp_Client::sdo_request(8, 6, 0xF1), false},
        // Not one whole message: it would throw the device's reading of the frame out of step.
        {"header 0x60, no message code", Udp_Client::sdo_request(9, 6, 0x60), false},
        {"header 0xF0, no message code", Udp_Client::sdo_request(10, 6, 0xF0), false},
        {"7 bytes of a 6-byte message", Udp_Client::sdo_request(11, 7, 0x61), false},
        {"length byte one more than sent", variable(12, 11, 17), false},
        {"2000 bytes, cut to 1024 on arrival", Udp_Client::sdo_request(13, 2000, 0x61), false},
    };
    std::uint64_t accepted = 0, accepted_bytes = 0;
    for (const Case& c : cases) {
        ASSERT_TRUE(second.send_to(port, c.request)) << c.what;
        ASSERT_TRUE(stranger.send_to(port, Udp_Client::sdo_request(100, 6))) << "from an unlinked client";
        // A marker after each case: if the case was dropped, the marker comes first.
        const Datagram marker = Udp_Client::sdo_request(1000, 6);
        ASSERT_TRUE(second.send_to(port, marker));
        if (c.accepted) {
            Datagram expected = c.request;
            expected[Mailbox::epid_offset] = 1;
            EXPECT_EQ(take_request(*hand), expected) << c.what;
            ++accepted;
            accepted_bytes += c.request.size();
        }
        const Datagram next = take_request(*hand);
        EXPECT_EQ(Udp_Client::sequence_of(next), 1000u) << c.what << " was not dropped";
        ++accepted;
        accepted_bytes += marker.size();
    }
    EXPECT_TRUE(eventually([&] { return mailbox->get_diagnostics(1).tx_sdo == accepted; }));
    const auto counters = mailbox->get_diagnostics(1);
    EXPECT_EQ(counters.tx_sdo_bytes, accepted_bytes);
    EXPECT_EQ(counters.rx_sdo, 0u);
    EXPECT_EQ(mailbox->get_diagnostics(0).tx_sdo, 0u);
}

TEST_F(SDO_Service_Test, each_answer_goes_to_the_client_of_its_epid_unchanged_and_the_rest_are_dropped) {
    const auto hand = make_device("hand");
    std::vector<std::unique_ptr<Udp_Client>> clients;
    const auto mailbox = mailbox_with_clients(hand, clients, 2);
    auto& first = *clients[0];
    auto& second = *clients[1];

    put_answer(*hand, answer(1, 1));
    put_answer(*hand, answer(2, 0, 6, 0xF1));
    put_answer(*hand, answer(3, 0, 6, 0xF0));  // the client's header: dropped
    put_answer(*hand, answer(4, 7));           // no client has EPID 7: dropped
    put_answer(*hand, answer(5, 0, 5));        // too short: dropped
    put_answer(*hand, answer(6, 0, 1014, 0x7F));

    EXPECT_EQ(second.receive(), answer(1, 1));
    EXPECT_EQ(first.receive(), answer(2, 0, 6, 0xF1));
    EXPECT_EQ(first.receive(), answer(6, 0, 1014, 0x7F)) << "answers behind dropped ones still go out";
    EXPECT_TRUE(eventually([&] { return mailbox->get_diagnostics(0).rx_sdo == 2; }));
    EXPECT_EQ(mailbox->get_diagnostics(0).rx_sdo_bytes, 1020u);
    EXPECT_EQ(mailbox->get_diagnostics(1).rx_sdo, 1u);

    // A link added again starts its counters from 0; an unlinked EPID's answers go nowhere.
    ASSERT_TRUE(mailbox->remove_link(loopback(second)));
    ASSERT_TRUE(mailbox->add_link(loopback(second)));
    EXPECT_EQ(mailbox->get_diagnostics(1).rx_sdo, 0u);
    ASSERT_TRUE(mailbox->remove_link(loopback(first)));
    put_answer(*hand, answer(7, 0));
    put_answer(*hand, answer(8, 1));
    EXPECT_EQ(second.receive(), answer(8, 1));
    EXPECT_TRUE(first.receive_for(50ms).empty());
}

TEST_F(SDO_Service_Test, what_was_owed_to_or_left_by_a_removed_link_or_mailbox_never_reaches_the_next_holder_of_its_epid) {
    const auto hand = make_device("hand");
    put_answer(*hand, answer(1, 0));  // left in the device queues before any mailbox
    const Datagram left_request = Udp_Client::sdo_request(2);
    ASSERT_EQ(hand->tx_queue->enqueue(left_request.data(), left_request.size()), 0);
    std::vector<std::unique_ptr<Udp_Client>> clients;
    auto mailbox = mailbox_with_clients(hand, clients, 1);
    EXPECT_EQ(hand->rx_queue->count() + hand->tx_queue->count(), 0u) << "a new mailbox discards them";

    auto& leaving = *clients[0];
    for (std::uint32_t sequence : {1, 2}) ASSERT_TRUE(leaving.send_to(mailbox->local_port(), Udp_Client::sdo_request(sequence)));
    const Datagram first = take_request(*hand);
    const Datagram second = take_request(*hand);
    ASSERT_EQ(second.size(), 6u);
    ASSERT_TRUE(mailbox->remove_link(loopback(leaving)));
    Udp_Client next;
    ASSERT_TRUE(mailbox->add_link(loopback(next)));  // EPID 0 again
    ASSERT_TRUE(next.send_to(mailbox->local_port(), Udp_Client::sdo_request(3)));
    const Datagram own = take_request(*hand);
    // The device answers in order: the two owed to the client that left, then the new one's.
    for (const Datagram& request : {first, second, own}) put_answer(*hand, request);
    EXPECT_EQ(next.receive(), own) << "the first answer the new holder gets is its own";
    EXPECT_TRUE(next.receive_for(50ms).empty());
    EXPECT_TRUE(leaving.receive_for(1ms).empty());

    // A request on its way to the device when its mailbox is made again for the device.
    ASSERT_TRUE(next.send_to(mailbox->local_port(), Udp_Client::sdo_request(4)));
    const Datagram owed_to_gone = take_request(*hand);
    ASSERT_TRUE(service->remove_mailbox(hand.get(), 0));
    Udp_Client last;
    ASSERT_NE(service->add_mailbox(hand), 0);
    mailbox = service->get_mailbox(hand.get(), 0);
    ASSERT_TRUE(mailbox->add_link(loopback(last)));  // EPID 0 again
    ASSERT_TRUE(last.send_to(mailbox->local_port(), Udp_Client::sdo_request(5)));
    const Datagram last_own = take_request(*hand);
    put_answer(*hand, owed_to_gone);
    put_answer(*hand, last_own);
    EXPECT_EQ(last.receive(), last_own) << "the first answer the new holder gets is its own";
    EXPECT_TRUE(last.receive_for(50ms).empty());
}

TEST_F(SDO_Service_Test, a_device_destroyed_under_a_busy_mailbox_leaves_it_working_on_live_queues_until_swept) {
    auto hand = make_device("hand");
    std::vector<std::unique_ptr<Udp_Client>> clients;
    const auto mailbox = mailbox_with_clients(hand, clients, 3);
    const auto port = mailbox->local_port();
    constexpr std::uint32_t queued_answers = 12000;
    for (std::uint32_t i = 0; i < queued_answers; ++i) put_answer(*hand, answer(i, static_cast<std::uint8_t>(i % 3)));
    const auto totals = [&] {
        std::pair<std::uint64_t, std::uint64_t> requests_and_answers{0, 0};
        for (unsigned char epid = 0; epid < 3; ++epid) {
            requests_and_answers.first += mailbox->get_diagnostics(epid).tx_sdo;
            requests_and_answers.second += mailbox->get_diagnostics(epid).rx_sdo;
        }
        return requests_and_answers;
    };

    std::atomic<bool> sending{true};
    std::vector<std::thread> senders;
    for (auto& client : clients) {
        senders.emplace_back([&, client = client.get()] {
            for (std::uint32_t sequence = 0; sending; ++sequence) client->send_to(port, Udp_Client::sdo_request(sequence));
        });
    }
    ASSERT_TRUE(clients[0]->receive()) << "the loops run";
    // The device goes while both loops are busy; only the mailbox still holds its queues.
    devices.clear();
    ASSERT_EQ(hand.use_count(), 1) << "the mailbox holds no share of the device";
    hand.reset();
    const auto at_destruction = totals();
    EXPECT_TRUE(eventually([&] {
        const auto now = totals();
        return now.first > at_destruction.first + 100 && now.second > at_destruction.second + 100;
    })) << "both loops went on using the queues after the device was destroyed";

    std::vector<std::string> listed;
    service->list_mailboxes(listed);
    EXPECT_TRUE(listed.empty()) << "a mailbox whose device is gone is swept";
    EXPECT_TRUE(eventually([&] { return mailbox.use_count() == 1; })) << "its loops ended";
    sending = false;
    for (auto& sender : senders) sender.join();
}

TEST_F(SDO_Service_Test, removing_mailboxes_and_links_while_clients_send_and_answers_flow) {
    std::vector<std::shared_ptr<Device>> limbs{make_device("arm"), make_device("hand")};
    std::vector<std::unique_ptr<Udp_Client>> clients;
    std::vector<std::shared_ptr<Mailbox>> mailboxes;
    for (const auto& limb : limbs) mailboxes.push_back(mailbox_with_clients(limb, clients, 2));

    std::atomic<bool> running{true};
    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < clients.size(); ++i) {
        workers.emplace_back([&, i] {
            const auto port = mailboxes[i / 2]->local_port();
            for (std::uint32_t sequence = 0; running; ++sequence) {
                clients[i]->send_to(port, Udp_Client::sdo_request(sequence));
                clients[i]->receive(0ms);
            }
        });
    }
    // The session's part: every request is answered at once with its EPID.
    workers.emplace_back([&] {
        Datagram message(Mailbox::datagram_bytes);
        while (running) {
            for (const auto& limb : limbs) {
                const auto got = limb->tx_queue->dequeue(message.size(), message.data());
                if (got != 0) limb->rx_queue->enqueue(message.data(), got);
            }
        }
    });
    // Commands: links come and go on one mailbox while the other is removed.
    for (int round = 0; round < 200; ++round) {
        mailboxes[0]->remove_link(loopback(*clients[round % 2]));
        mailboxes[0]->add_link(loopback(*clients[round % 2]));
    }
    ASSERT_TRUE(eventually([&] { return mailboxes[1]->get_diagnostics(1).rx_sdo > 0; }));
    ASSERT_TRUE(service->remove_mailbox(limbs[1].get(), 0));
    EXPECT_TRUE(eventually([&] { return mailboxes[1].use_count() == 1; })) << "the removed mailbox's loops ended";
    const auto answered = mailboxes[1]->get_diagnostics(0).rx_sdo + mailboxes[1]->get_diagnostics(1).rx_sdo;
    std::this_thread::sleep_for(20ms);  // to show that nothing more is sent
    EXPECT_EQ(mailboxes[1]->get_diagnostics(0).rx_sdo + mailboxes[1]->get_diagnostics(1).rx_sdo, answered);
    EXPECT_TRUE(eventually([&] { return mailboxes[0]->get_diagnostics(0).rx_sdo > 0; }));

    running = false;
    for (auto& worker : workers) worker.join();
}

}  // namespace
