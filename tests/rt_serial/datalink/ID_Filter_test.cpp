#include "rt_serial/datalink/ID_Filter.hpp"

#include <gtest/gtest.h>

namespace {

using Quorin_Core::RT_Serial::Datalink::ID_Filter;

TEST(ID_Filter, allow_list_passes_only_its_members_and_block_list_all_others) {
    const ID_Filter allow = ID_Filter::allow_only(0xA0);
    ID_Filter block(false);
    block.insert(0x00);
    block.insert(0xFF);
    for (unsigned id = 0; id < 256; ++id) {
        EXPECT_EQ(allow.is_available(static_cast<std::uint8_t>(id)), id == 0xA0) << id;
        EXPECT_EQ(block.is_available(static_cast<std::uint8_t>(id)), id != 0x00 && id != 0xFF) << id;
    }
}

}  // namespace
