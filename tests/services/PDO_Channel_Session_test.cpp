// First: <termios.h>, which the session brings in, defines ECHO as a macro.
#include "tools/devsim/Device_Simulator.hpp"

#include <gtest/gtest.h>

#include <boost/system/system_error.hpp>

#include <atomic>
#include <thread>

#include "services/PDO_Rig.hpp"
#include "support/Free_Port.hpp"
#include "support/Server_Process.hpp"
#include "support/Udp_Client.hpp"

// The channel against a running session and a simulated device that echoes each RPDO in its
// TPDO answers: the cycle carries the client's bytes both ways, and channels and devices can
// go while the session is inside the channel's sink (run these under ASan and TSan).
namespace Quorin_Test::PDO {
namespace {

using Quorin_Tools::Devsim::Device_Simulator;

constexpr float fast_cycle_hz = 500.0f;
constexpr std::uint32_t device_baud = 4000000;

/// A simulated device, a device bound to it whose session runs the PDO cycle at 500 Hz, and
/// a PDO service with a client.
struct Cycle_Rig {
    Cycle_Rig() {
        simulator.start();
        device = std::make_shared<Device>("hand", link, device_baud, false);
        device->session.set_pdo_config(fast_cycle_hz);
        device->session.start();
        device->session.enable_pdo();
    }
    ~Cycle_Rig() {
        service.remove_all_channels();
        device.reset();
    }
    unsigned short open_channel() { return service.add_channel(loopback(client.port()), device); }

    Temp_Dir dir;
    const std::string link = dir.path() + "/sim";
    Device_Simulator simulator{[this] {
        Quorin_Tools::Devsim::Config config;
        config.link_path = link;
        return config;
    }()};
    PDO_Thread pdo;
    std::shared_ptr<Device> device;
    const unsigned short first_port = free_port_range(40);
    PDO_Service service{pdo.context, first_port};
    Udp_Client client;
};

TEST(PDO_Channel_Session, channels_closed_and_opened_while_the_session_feeds_their_sink) {
    constexpr int rounds = 30;
    Cycle_Rig rig;
    std::atomic<bool> streaming{true};
    std::atomic<unsigned short> port{0};
    // The client keeps sending, so every channel has RPDO data arriving while it goes.
    std::thread sender([&] {
        while (streaming) {
            if (const auto to = port.load()) rig.client.send_to(to, Bytes{9, 9, 9});
            std::this_thread::sleep_for(1ms);
        }
    });
    int opened = 0;
    for (int round = 0; round < rounds; ++round) {
        try {
            port = rig.open_channel();
        } catch (const boost::system::system_error&) {
            continue;  // a port another test holds
        }
        ++opened;
        ASSERT_TRUE(rig.client.receive(5s)) << "round " << round;
        ASSERT_TRUE(rig.service.remove_channel(rig.device.get(), 0));
        rig.client.drain();
    }
    streaming = false;
    sender.join();
    EXPECT_GT(opened, 0);
    rig.client.drain();
    EXPECT_FALSE(rig.client.receive(100ms)) << "a removed channel still sends";
}

TEST(PDO_Channel_Session, a_device_deleted_while_its_cycle_and_channel_run_stops_cleanly) {
    Cycle_Rig rig;
    const auto port = rig.open_channel();
    ASSERT_TRUE(rig.client.send_to(port, Bytes{7}));
    ASSERT_TRUE(rig.client.wait_for(padded({7})));
    const auto channel = rig.service.get_channel(rig.device.get(), 0);

    rig.device.reset();  // the table's share: session, port and sink go with it
    EXPECT_TRUE(rig.client.send_to(port, Bytes{8}));
    EXPECT_TRUE(eventually([&] { return channel->diagnostics.rpdo == 2; }));
    EXPECT_EQ(channel->diagnostics.rpdo_synced, 1u) << "nothing written into a deleted session";
    rig.client.drain();
    EXPECT_FALSE(rig.client.receive(100ms)) << "TPDOs after the device went";
}

}  // namespace
}  // namespace Quorin_Test::PDO
