// The replaced operators pair malloc with free; GCC cannot see that through inlining.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "services/PDO_Channel.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include <future>

#include "server/Device.hpp"
#include "support/Captured_Stdout.hpp"
#include "support/Pty_Pair.hpp"
#include "support/Udp_Client.hpp"

// Counts the heap allocations made on the threads that mark themselves, for the whole test
// program: the count stays 0 wherever nothing is marked.
static std::atomic<std::uint64_t> marked_allocations{0};
static thread_local bool counting_here = false;

void* operator new(std::size_t size) {
    if (counting_here) ++marked_allocations;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace Quorin_Test {
namespace {

using boost::asio::ip::udp;
using Quorin_Core::Device;
using Quorin_Core::PDO_Service;
udp::endpoint loopback(unsigned short port, const char* address = "127.0.0.1") {
    return {boost::asio::ip::make_address(address), port};
}

/// A PDO context run by its own thread, devices "hand" and "arm" on ptys whose sessions never
/// start, a service whose ports start at a free range, and a client with a channel to hand.
/// What goes through the pdo and lspdo commands is checked by the system tests.
struct Rig {
    ~Rig() { service.remove_all_channels(), work.reset(), context.stop(), thread.join(); }
    boost::asio::io_context context;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{context.get_executor()};
    std::thread thread{[this] { context.run(); }};
    Pty_Pair hand_pty, arm_pty;
    std::shared_ptr<Device> hand = std::make_shared<Device>("hand", hand_pty.port_path(), 115200, false);
    std::shared_ptr<Device> arm = std::make_shared<Device>("arm", arm_pty.port_path(), 115200, false);
    const unsigned short first_port = free_port_range(4);
    PDO_Service service{context, first_port};
    Udp_Client client;
    const unsigned short port = open_channel();
    const std::shared_ptr<PDO_Service::Channel> channel = service.get_channel(&hand->session, 0);
    unsigned short open_channel() { return service.add_channel(loopback(client.port()), hand->served()); }
};

TEST(PDO_Service, a_channel_found_by_device_or_port_sends_tpdos_in_order_and_feeds_its_device_until_swept) {
    Captured_Stdout log;
    Rig rig;
    EXPECT_TRUE(log.contains("[INFO ] New pdo channel on local: 0.0.0.0:" + std::to_string(rig.first_port) + "\n"));
    EXPECT_EQ(rig.service.get_channel(nullptr, rig.port), rig.channel);
    EXPECT_EQ(rig.service.get_channel(nullptr, 0), nullptr);
    EXPECT_FALSE(rig.service.remove_channel(&rig.arm->session, 0));
    EXPECT_FALSE(rig.service.remove_channel(nullptr, 0)) << "port 0 matches no socket";
    // A client an IPv4 socket reaches by its mapped address counts as that IPv4 client.
    const udp::endpoint mapped = loopback(rig.client.port(), "::ffff:127.0.0.1");
    EXPECT_EQ(rig.service.add_channel(mapped, rig.arm->served()), 0) << "the client has a channel already";

    ASSERT_TRUE(Udp_Client().send_to(rig.port, Bytes(3, 3))) << "from a stranger";
    ASSERT_TRUE(rig.client.send_to(rig.port, Bytes(4, 4)));
    ASSERT_TRUE(eventually([&] { return rig.channel->diagnostics.rpdo == 1; }));
    EXPECT_EQ(rig.channel->diagnostics.rpdo_synced, 1u);

    // Payloads that arrive while the PDO thread is held, the first still to be sent, go out whole and in order.
    std::promise<void> release;
    boost::asio::post(rig.context, [held = release.get_future().share()] { held.wait(); });
    for (std::uint8_t fill = 1; fill <= 3; ++fill) rig.channel->sink()(Bytes(100 * fill, fill).data(), 100 * fill);
    release.set_value();
    for (std::uint8_t fill = 1; fill <= 3; ++fill) EXPECT_EQ(rig.client.receive(), Bytes(100 * fill, fill));
    ASSERT_TRUE(eventually([&] { return rig.channel->diagnostics.tpdo == 3; }));
    EXPECT_EQ(rig.channel->diagnostics.tpdo_bytes, 600u);

    rig.hand.reset();  // the last owner: session and port go now
    ASSERT_TRUE(rig.client.send_to(rig.port, Bytes(5, 5)));
    ASSERT_TRUE(eventually([&] { return rig.channel->diagnostics.rpdo == 2; }));
    EXPECT_EQ(rig.channel->diagnostics.rpdo_synced, 1u) << "nothing written into a deleted session";
    EXPECT_EQ(rig.channel->diagnostics.rpdo_bytes, 9u);
    EXPECT_EQ(rig.service.add_channel(mapped, rig.arm->served()), rig.first_port + 1) << "swept: its client is free again";
    EXPECT_EQ(rig.service.channel_count(), 1u);
}

TEST(PDO_Service, a_port_that_fails_to_bind_stays_used_and_ports_wrap_after_65535) {
    Rig rig;
    ASSERT_TRUE(rig.service.remove_channel(nullptr, rig.port));
    // A client bound to the next port holds it while the channel is opened.
    EXPECT_THAT([&] { (Udp_Client(rig.first_port + 1), rig.open_channel()); },
                ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq("bind: Address already in use")));
    EXPECT_EQ(rig.open_channel(), rig.first_port + 2);
    try {
        PDO_Service top{rig.context, 65535};
        ASSERT_EQ(top.add_channel(loopback(rig.client.port()), rig.hand->served()), 65535);
        top.remove_channel(&rig.hand->session, 0);
        EXPECT_EQ(top.add_channel(loopback(rig.client.port()), rig.hand->served()), 65535);
    } catch (const std::runtime_error&) {  // port 65535 is taken on this machine
    }
}

TEST(PDO_Service, the_cyclic_path_allocates_nothing_on_the_pdo_or_the_session_thread) {
    Rig rig;
    boost::asio::post(rig.context, [] { counting_here = true; });
    // One cycle: an RPDO datagram in, a TPDO payload handed over on a "session" thread, its
    // datagram out. The test thread's own work is not counted.
    const Bytes rpdo(64, 1), tpdo(200, 2);
    std::uint64_t before = 0;
    for (std::uint64_t i = 0; i < 220; ++i) {
        if (i == 20)  // warmed up
            before = eventually([&] { return rig.channel->diagnostics.tpdo == i; }) ? marked_allocations.load() : 0;
        ASSERT_TRUE(rig.client.send_to(rig.port, rpdo));
        std::thread([&] {
            counting_here = true;
            rig.channel->sink()(tpdo.data(), tpdo.size());
            counting_here = false;
        }).join();
        ASSERT_TRUE(rig.client.receive()) << "cycle " << i;
        ASSERT_TRUE(eventually([&] { return rig.channel->diagnostics.rpdo == i + 1; }));
    }
    ASSERT_TRUE(eventually([&] { return rig.channel->diagnostics.tpdo == 220; }));
    EXPECT_EQ(marked_allocations - before, 0u);
}

}  // namespace
}  // namespace Quorin_Test
