#include "services/PDO_Service.hpp"

#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include <future>
#include <stdexcept>

#include "services/PDO_Rig.hpp"
#include "support/Captured_Stdout.hpp"
#include "support/Free_Port.hpp"
#include "support/Udp_Client.hpp"

namespace Quorin_Test::PDO {
namespace {


std::vector<std::string> listing(PDO_Service& service) {
    std::vector<std::string> records;
    service.list_channels(records);
    return records;
}

std::string record(unsigned short local, const Udp_Client& client) {
    return "0.0.0.0:" + std::to_string(local) + " 127.0.0.1:" + std::to_string(client.port());
}

/// One service whose ports start at a free range, and two devices.
struct Service_Rig {
    PDO_Thread pdo;
    Pty_Device hand{"hand"};
    Pty_Device arm{"arm"};
    const unsigned short first_port = free_port_range(4);
    PDO_Service service{pdo.context, first_port};
    Udp_Client client;
    Udp_Client other_client;
};

TEST(PDO_Service, lookups_by_device_or_port_and_removals_that_match_nothing_change_nothing) {
    Service_Rig rig;
    EXPECT_FALSE(rig.service.remove_channel(rig.hand.device.get(), 0)) << "no channel at all";
    ASSERT_EQ(rig.service.add_channel(loopback(rig.client.port()), rig.hand.device), rig.first_port);
    EXPECT_EQ(rig.service.get_channel(nullptr, rig.first_port), rig.service.get_channel(rig.hand.device.get(), 0));
    EXPECT_NE(rig.service.get_channel(nullptr, rig.first_port), nullptr);
    EXPECT_FALSE(rig.service.remove_channel(rig.arm.device.get(), 0));
    EXPECT_FALSE(rig.service.remove_channel(nullptr, 0)) << "port 0 matches no socket";
    EXPECT_EQ(rig.service.get_channel(nullptr, 0), nullptr);
    EXPECT_EQ(rig.service.channel_count(), 1u);
    EXPECT_TRUE(rig.service.remove_channel(nullptr, rig.first_port));
    EXPECT_EQ(rig.service.channel_count(), 0u);
}

TEST(PDO_Service, a_port_that_cannot_be_bound_throws_and_stays_consumed) {
    Service_Rig rig;
    const Udp_Client squatter(rig.first_port);
    EXPECT_THROW(rig.service.add_channel(loopback(rig.client.port()), rig.hand.device), boost::system::system_error);
    EXPECT_EQ(rig.service.channel_count(), 0u);
    EXPECT_EQ(rig.service.add_channel(loopback(rig.client.port()), rig.hand.device), rig.first_port + 1);
}

TEST(PDO_Service, a_client_no_ipv4_socket_can_serve_is_refused_before_a_port_is_taken) {
    Service_Rig rig;
    const udp::endpoint ipv6(boost::asio::ip::make_address("::1"), rig.client.port());
    EXPECT_THROW(rig.service.add_channel(ipv6, rig.hand.device), std::invalid_argument);
    EXPECT_THROW(rig.service.add_channel(loopback(0), rig.hand.device), std::invalid_argument);

    const udp::endpoint mapped(boost::asio::ip::make_address("::ffff:127.0.0.1"), rig.client.port());
    EXPECT_EQ(rig.service.add_channel(mapped, rig.hand.device), rig.first_port);
    EXPECT_EQ(listing(rig.service), std::vector{record(rig.first_port, rig.client)});
}

TEST(PDO_Service, ports_wrap_after_65535_to_the_first_port) {
    PDO_Thread pdo;
    Pty_Device hand{"hand"};
    Udp_Client client;
    try {
        const Udp_Client probe(65535);
    } catch (const std::exception&) {
        GTEST_SKIP() << "port 65535 is taken on this machine";
    }
    PDO_Service service{pdo.context, 65535};
    ASSERT_EQ(service.add_channel(loopback(client.port()), hand.device), 65535);
    service.remove_channel(hand.device.get(), 0);
    EXPECT_EQ(service.add_channel(loopback(client.port()), hand.device), 65535);
}

/// A channel between `client` and the device hand.
struct Channel_Rig : Service_Rig {
    Channel_Rig() {
        port = service.add_channel(loopback(client.port()), hand.device);
        channel = service.get_channel(hand.device.get(), 0);
    }
    unsigned short port = 0;
    std::shared_ptr<Channel> channel;
};

TEST(PDO_Service, tpdo_payloads_that_arrive_during_a_send_go_out_whole_and_in_order) {
    Channel_Rig rig;
    // Hold the PDO thread, so every payload arrives while the first is still to be sent.
    std::promise<void> release;
    boost::asio::post(rig.pdo.context, [held = release.get_future().share()] { held.wait(); });
    for (std::uint8_t fill = 1; fill <= 3; ++fill) {
        const Bytes payload(100 * fill, fill);
        rig.channel->sink()(payload.data(), payload.size());
    }
    release.set_value();

    for (std::uint8_t fill = 1; fill <= 3; ++fill) {
        const auto datagram = rig.client.receive();
        ASSERT_TRUE(datagram) << "datagram " << int(fill);
        EXPECT_EQ(*datagram, Bytes(100 * fill, fill));
    }
    const auto& counters = rig.channel->diagnostics;
    ASSERT_TRUE(eventually([&] { return counters.tpdo == 3; }));
    EXPECT_EQ(counters.tpdo_bytes, 600u);
}

TEST(PDO_Service, a_removed_channel_sends_and_counts_nothing_and_its_aborted_receive_is_not_logged) {
    Captured_Stdout log;
    {
        Channel_Rig rig;
        ASSERT_TRUE(rig.service.remove_channel(rig.hand.device.get(), 0));
        const Bytes payload(10, 3);
        rig.channel->sink()(payload.data(), payload.size());
        rig.client.send_to(rig.port, payload);
        EXPECT_FALSE(rig.client.receive(200ms)) << "a TPDO went out after the removal";
        EXPECT_EQ(rig.channel->diagnostics.rpdo, 0u);
        EXPECT_FALSE(rig.service.remove_channel(rig.hand.device.get(), 0));
    }
    EXPECT_FALSE(log.contains("udp-pdo")) << log.text();
    EXPECT_TRUE(log.contains("New pdo channel on local: 0.0.0.0:")) << log.text();
}

TEST(PDO_Service, a_device_deleted_under_its_channel_leaves_a_channel_that_writes_nothing_and_is_swept) {
    Channel_Rig rig;
    rig.hand.device.reset();  // the last owner: session and port go now
    rig.client.send_to(rig.port, Bytes(4, 4));
    ASSERT_TRUE(eventually([&] { return rig.channel->diagnostics.rpdo == 1; }));
    EXPECT_EQ(rig.channel->diagnostics.rpdo_synced, 0u);

    EXPECT_EQ(listing(rig.service), std::vector<std::string>{}) << "a channel without a device is swept";
    EXPECT_EQ(rig.service.add_channel(loopback(rig.client.port()), rig.arm.device), rig.first_port + 1)
        << "its client is free again";
}

}  // namespace
}  // namespace Quorin_Test::PDO
