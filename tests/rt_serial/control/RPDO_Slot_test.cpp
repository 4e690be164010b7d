#include "rt_serial/control/RPDO_Slot.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace {

using Quorin_Core::RT_Serial::Control::RPDO_Slot;

// Write n holds 1 + n % capacity bytes, each of them that size's low byte: a read that mixed two
// writes would show it.
TEST(RPDO_Slot, the_reader_gets_whole_writes_while_the_writer_goes_on_and_keeps_the_last_one) {
    RPDO_Slot slot;
    EXPECT_TRUE(slot.read().empty());
    constexpr std::size_t writes = 50000;
    const auto size_of = [](std::size_t n) { return 1 + n % RPDO_Slot::capacity; };
    std::thread writer([&] {
        std::uint8_t data[RPDO_Slot::capacity];
        for (std::size_t n = 1; n <= writes; ++n) {
            std::fill_n(data, size_of(n), static_cast<std::uint8_t>(size_of(n)));
            slot.write(data, size_of(n));
        }
    });
    std::size_t torn = 0;
    for (std::size_t n = 0; n < writes; ++n) {
        const auto got = slot.read();
        torn += std::any_of(got.begin(), got.end(), [&](std::uint8_t byte) { return byte != std::uint8_t(got.size()); });
    }
    writer.join();
    EXPECT_EQ(torn, 0u);
    EXPECT_EQ(slot.read().size(), size_of(writes));
    EXPECT_EQ(slot.read().size(), size_of(writes)) << "kept until overwritten";
}

}  // namespace
