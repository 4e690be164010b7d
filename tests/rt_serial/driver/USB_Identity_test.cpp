#include "rt_serial/driver/USB_Identity.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using namespace Quorin_Core::RT_Serial::Driver;

TEST(USB_Identity, reads_up_to_four_hexadecimal_characters) {
    EXPECT_EQ(parse_usb_id("0483"), 0x0483);
    EXPECT_EQ(parse_usb_id("483"), 0x0483);
    EXPECT_EQ(parse_usb_id("A7e0"), 0xa7e0);
    EXPECT_EQ(parse_usb_id("ffff"), 0xffff);
    EXPECT_EQ(parse_usb_id("12345"), 0x1234);
    EXPECT_EQ(parse_usb_id("48g"), 0x48);
    EXPECT_THROW(parse_usb_id(""), std::invalid_argument);
    EXPECT_THROW(parse_usb_id("    5740"), std::invalid_argument);  // the number lies past four characters
    EXPECT_THROW(parse_usb_id("VID_"), std::invalid_argument);
}

TEST(USB_Identity, accepts_exactly_the_three_identities_of_the_vendor) {
    EXPECT_TRUE(is_accepted_usb_identity({0x0483, 0x5740}));
    EXPECT_TRUE(is_accepted_usb_identity({0x0483, device_product_id}));
    EXPECT_TRUE(is_accepted_usb_identity({0x0483, device_product_id_alternate}));
    EXPECT_NE(device_product_id, device_product_id_alternate);
    EXPECT_NE(device_product_id, st_virtual_com_product_id);
    EXPECT_FALSE(is_accepted_usb_identity({0x5740, 0x0483}));
    EXPECT_FALSE(is_accepted_usb_identity({0x0000, 0x0000}));
    EXPECT_FALSE(is_accepted_usb_identity({0x0483, 0x0000}));
}

}  // namespace
