#include "rt_serial/driver/Pending_Bytes.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Quorin_Core::RT_Serial::Driver::Pending_Bytes;
using Bytes = std::vector<std::uint8_t>;

Bytes held(const Pending_Bytes& pending) { return {pending.held().begin(), pending.held().end()}; }

TEST(Pending_Bytes, keeps_stream_order_with_bytes_put_back_in_front_and_never_outgrows_its_capacity) {
    Pending_Bytes pending;
    const Bytes later{4, 5, 6}, earlier{1, 2, 3}, full(Pending_Bytes::capacity, 9);
    EXPECT_EQ(pending.append(later.data(), later.size()), 3u);
    pending.consume(1);
    ASSERT_TRUE(pending.put_back(earlier.data(), earlier.size()));
    EXPECT_EQ(held(pending), (Bytes{1, 2, 3, 5, 6}));
    // Reading straight into the room at the back, after what was taken off the front.
    pending.consume(2);
    auto room = pending.room();
    ASSERT_EQ(room.size(), Pending_Bytes::capacity - 3);
    room[0] = 7;
    pending.commit(1);
    EXPECT_EQ(held(pending), (Bytes{3, 5, 6, 7}));
    EXPECT_FALSE(pending.put_back(full.data(), full.size() - 3)) << "no room: nothing changes";
    EXPECT_EQ(pending.append(full.data(), full.size()), Pending_Bytes::capacity - 4);
    pending.consume(2 * Pending_Bytes::capacity);
    EXPECT_TRUE(pending.empty());
}

}  // namespace
