// The replaced operators pair malloc with free; GCC cannot see that through inlining.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <gtest/gtest.h>

#include <boost/asio/post.hpp>

#include <atomic>
#include <cstdlib>
#include <future>
#include <new>
#include <thread>

#include "services/PDO_Rig.hpp"
#include "support/Free_Port.hpp"
#include "support/Udp_Client.hpp"

// Counts the heap allocations made on the threads that mark themselves, for the whole test
// program: the count stays 0 wherever nothing is marked.
namespace {
std::atomic<std::uint64_t> marked_allocations{0};
thread_local bool counting_here = false;
}  // namespace

void* operator new(std::size_t size) {
    if (counting_here) ++marked_allocations;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace Quorin_Test::PDO {
namespace {


TEST(PDO_Channel, the_cyclic_path_allocates_nothing_on_the_pdo_or_the_session_thread) {
    constexpr int warm_up_cycles = 20;
    constexpr int measured_cycles = 200;
    PDO_Thread pdo;
    Pty_Device hand{"hand"};
    Udp_Client client;
    PDO_Service service{pdo.context, free_port()};
    const auto port = service.add_channel(loopback(client.port()), hand.device);
    const auto channel = service.get_channel(hand.device.get(), 0);
    boost::asio::post(pdo.context, [] { counting_here = true; });

    // One cycle: an RPDO datagram in, a TPDO payload handed over on a "session" thread, its
    // datagram out. The test thread's own work is not counted.
    const Bytes rpdo(64, 1);
    const Bytes tpdo(200, 2);
    auto cycle = [&](int index) {
        ASSERT_TRUE(client.send_to(port, rpdo));
        std::thread session([&] {
            counting_here = true;
            channel->sink()(tpdo.data(), tpdo.size());
            counting_here = false;
        });
        session.join();
        ASSERT_TRUE(client.receive()) << "cycle " << index;
        ASSERT_TRUE(eventually([&] { return channel->diagnostics.rpdo == std::uint64_t(index) + 1; }));
    };
    for (int i = 0; i < warm_up_cycles; ++i) cycle(i);
    ASSERT_TRUE(eventually([&] { return channel->diagnostics.tpdo == warm_up_cycles; }));
    const auto before = marked_allocations.load();
    for (int i = warm_up_cycles; i < warm_up_cycles + measured_cycles; ++i) cycle(i);
    ASSERT_TRUE(eventually([&] { return channel->diagnostics.tpdo == warm_up_cycles + measured_cycles; }));
    EXPECT_EQ(marked_allocations.load() - before, 0u);
}

}  // namespace
}  // namespace Quorin_Test::PDO
