#include "rt_serial/driver/USB_Identity.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using namespace Quorin_Core::RT_Serial::Driver;

TEST(USB_Identity, the_three_accepted_identities_and_their_neighbours) {
    for (const USB_Identity& identity : accepted_usb_identities) EXPECT_TRUE(is_accepted_usb_identity(identity));
    const USB_Identity neighbours[] = {{0x0483, 0x573F}, {0x0483, 0x5741}, {0x0484, 0x5740}, {0x0482, 0xA7E0},
                                       {0x0483, 0xA7DF}, {0x0483, 0xA7E2}, {0x5740, 0x0483}, {0, 0}};
    for (const USB_Identity& identity : neighbours) EXPECT_FALSE(is_accepted_usb_identity(identity));
}

TEST(USB_Identity, instance_ids_of_usb_devices_give_vendor_and_product) {
    EXPECT_EQ(usb_identity_from_instance_id("USB\\VID_0483&PID_5740\\6D8A3B5F3536"),
              (USB_Identity{0x0483, 0x5740}));
    // Either case of hexadecimal digits; the product may come first.
    EXPECT_EQ(usb_identity_from_instance_id("USB\\PID_a7E0&VID_0483\\1"), (USB_Identity{0x0483, 0xA7E0}));
    // At most four characters are read, and fewer when the identifier ends or a non-digit follows.
    EXPECT_EQ(usb_identity_from_instance_id("USB\\VID_04831&PID_57"), (USB_Identity{0x0483, 0x57}));
    EXPECT_EQ(usb_identity_from_instance_id("USB\\VID_48&PID_5&MI_00"), (USB_Identity{0x48, 0x5}));
}

TEST(USB_Identity, other_instance_ids_give_nothing) {
    EXPECT_EQ(usb_identity_from_instance_id("FTDIBUS\\VID_0403+PID_6001+A9\\0000"), std::nullopt);
    EXPECT_EQ(usb_identity_from_instance_id("usb\\VID_0483&PID_5740\\1"), std::nullopt);
    EXPECT_EQ(usb_identity_from_instance_id("USB\\VID_0483\\1"), std::nullopt);
    EXPECT_EQ(usb_identity_from_instance_id("USB\\PID_5740\\1"), std::nullopt);
    EXPECT_EQ(usb_identity_from_instance_id("ACPI\\PNP0501\\1"), std::nullopt);
    EXPECT_EQ(usb_identity_from_instance_id(""), std::nullopt);
}

TEST(USB_Identity, an_instance_id_without_digits_after_a_marker_throws) {
    EXPECT_THROW(usb_identity_from_instance_id("USB\\VID_&PID_5740\\1"), std::invalid_argument);
    EXPECT_THROW(usb_identity_from_instance_id("USB\\VID_0483&PID_"), std::invalid_argument);
    EXPECT_THROW(usb_identity_from_instance_id("USB\\VID_XYZ1&PID_5740"), std::invalid_argument);
}

}  // namespace
