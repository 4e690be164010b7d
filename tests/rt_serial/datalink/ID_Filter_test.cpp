#include "rt_serial/datalink/ID_Filter.hpp"

#include <gtest/gtest.h>

#include "rt_serial/datalink/Protocol_Bitmap.hpp"

namespace {

using Quorin_Core::RT_Serial::Datalink::ID_Filter;

TEST(ID_Filter, allow_list_passes_only_its_members_and_block_list_all_others) {
    ID_Filter allow = ID_Filter::allow_only(0xA0);
    ID_Filter block(false);
    block.insert(0x00);
    block.insert(0xFF);
    for (unsigned id = 0; id < 256; ++id) {
        EXPECT_EQ(allow.is_available(static_cast<std::uint8_t>(id)), id == 0xA0) << id;
        EXPECT_EQ(block.is_available(static_cast<std::uint8_t>(id)), id != 0x00 && id != 0xFF) << id;
    }
    allow.erase(0xA0);
    EXPECT_FALSE(allow.is_available(0xA0));
}

TEST(Protocol_Bitmap, recognises_exactly_the_four_protocols) {
    using Quorin_Core::RT_Serial::Payload::protocol_bitmap;
    for (unsigned protocol = 0; protocol < 256; ++protocol) {
        const bool member = protocol == 0x11 || protocol == 0x21 || protocol == 0x53 || protocol == 0xA1;
        EXPECT_EQ(protocol_bitmap.contains(static_cast<std::uint8_t>(protocol)), member) << protocol;
    }
}

}  // namespace
