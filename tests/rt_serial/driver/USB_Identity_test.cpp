#include "rt_serial/driver/USB_Identity.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using namespace Quorin_Core::RT_Serial::Driver;

TEST(USB_Identity, the_three_accepted_identities_and_instance_ids_read_or_refused) {
    for (const USB_Identity& identity : accepted_usb_identities) EXPECT_TRUE(is_accepted_usb_identity(identity));
    for (const USB_Identity& neighbour : {USB_Identity{0x0483, 0x573F}, {0x0483, 0x5741}, {0x0484, 0x5740},
                                          {0x0482, 0xA7E0}, {0x0483, 0xA7DF}, {0x0483, 0xA7E2}, {0x5740, 0x0483}})
        EXPECT_FALSE(is_accepted_usb_identity(neighbour));
    // Either case of hexadecimal digits, the product may come first, and at most four
    // characters are read: fewer when the identifier ends or a non-digit follows.
    const std::pair<const char*, std::optional<USB_Identity>> ids[] = {
        {"USB\\VID_0483&PID_5740\\6D8A3B5F3536", USB_Identity{0x0483, 0x5740}},
        {"USB\\PID_a7E0&VID_0483\\1", USB_Identity{0x0483, 0xA7E0}},
        {"USB\\VID_04831&PID_57", USB_Identity{0x0483, 0x57}},
        {"USB\\VID_48&PID_5&MI_00", USB_Identity{0x48, 0x5}},
        {"FTDIBUS\\VID_0403+PID_6001+A9\\0000", std::nullopt},
        {"usb\\VID_0483&PID_5740\\1", std::nullopt},
        {"USB\\VID_0483\\1", std::nullopt},
        {"USB\\PID_5740\\1", std::nullopt},
    };
    for (const auto& [id, identity] : ids) EXPECT_EQ(usb_identity_from_instance_id(id), identity) << id;
    for (const char* id : {"USB\\VID_&PID_5740\\1", "USB\\VID_0483&PID_", "USB\\VID_XYZ1&PID_5740"})
        EXPECT_THROW(usb_identity_from_instance_id(id), std::invalid_argument) << id;
}

}  // namespace
