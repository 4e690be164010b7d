#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "support/Locked_Line.hpp"
#include "system/Device_Harness.hpp"

// The replies of bind, dev, lsdev and lsbind, and what a refused bind leaves behind.
namespace Quorin_Test {
namespace {

using ::testing::AnyOf, ::testing::Eq;
using Device_Commands = Device_Server_Test;

TEST_F(Device_Commands, malformed_lines_and_unknown_names_change_nothing_and_listings_follow_the_table) {
    const std::string hand = simulator("hand").link_path(), arm = simulator("arm").link_path();
    const std::string hand_bind = "\"hand " + hand + "\"", arm_bind = "\"arm " + arm + "\"";
    // A name of two words cannot be bound: the second word would be taken for the port.
    expect_reply({"bind hand", "bind two words " + hand}, Expected::usage_reply("bind", "WRONG FORMAT"));
    expect_replies({{"lsdev", "{\"devices\":[]}\r\n"}, {"lsdev now", "USAGE: lsdev\r\n>-WRONG FORMAT\r\n"},
                    {"lsbind", "{\"binds\":[]}\r\n"}, {"lsbind now", "USAGE: lsbind\r\n>-WRONG FORMAT\r\n"},
                    {"bind hand " + hand, Expected::bound("hand", hand)}, {"lsdev", "{\"devices\":[\"hand\"]}\r\n"},
                    {"lsbind", "{\"binds\":[" + hand_bind + "]}\r\n"}, {"dev -h", Expected::usage_reply("dev")},
                    // The name is looked up before the option, and is every word before it.
                    {"dev ghost -d", Expected::not_found("ghost")}, {"dev ghost -x", Expected::not_found("ghost")},
                    {"dev hand arm -o", Expected::not_found("hand arm")}, {"bind arm " + arm, Expected::bound("arm", arm)}});
    expect_reply({"dev", "dev hand", "dev hand now", "dev hand -o now", "dev -o hand", "dev hand -x"},
                 Expected::usage_reply("dev", "WRONG FORMAT"));
    EXPECT_THAT(ask("lsdev"), AnyOf(Eq("{\"devices\":[\"hand\",\"arm\"]}\r\n"), Eq("{\"devices\":[\"arm\",\"hand\"]}\r\n")));
    EXPECT_THAT(ask("lsbind"), AnyOf(Eq("{\"binds\":[" + hand_bind + "," + arm_bind + "]}\r\n"),
                                     Eq("{\"binds\":[" + arm_bind + "," + hand_bind + "]}\r\n")));
    expect_replies({{"dev hand -d", Expected::destroyed("hand")}, {"lsbind", "{\"binds\":[" + arm_bind + "]}\r\n"},
                    {"dev arm -d", Expected::destroyed("arm")}, {"lsdev", "{\"devices\":[]}\r\n"}});
}

TEST_F(Device_Commands, a_name_or_line_in_use_or_a_path_that_is_no_free_serial_line_is_refused_and_leaves_no_trace) {
    const Device_Simulator& first = simulator("first");
    const std::string port = first.link_path(), second = simulator("second").link_path();
    const std::string missing = link_of("missing"), plain = link_of("plain");
    const std::string exception = Expected::usage_reply("bind", "EXCEPTION");
    links.write_file("plain", "not a line");
    expect_replies({
        {"bind a " + port, Expected::bound("a", port)}, {"bind a " + port, Expected::bind_refused("a")},
        {"bind b " + port, Expected::bind_refused("b")}, {"bind a " + second, Expected::bind_refused("a")},
        {"bind b " + missing, "No such file or directory\r\n" + exception},
        {"bind b " + plain, "read line settings: Inappropriate ioctl for device\r\n" + exception},
        // The same line under another name passes the table's check; the lock still refuses it.
        {"bind b " + first.slave_path(), "Device or resource busy\r\n" + exception},
        {"lsbind", "{\"binds\":[\"a " + port + "\"]}\r\n"},
    });
    EXPECT_TRUE(logged("[FATAL] Failed to create Serial_Port for Session on [" + missing + "]:No such file or directory"));
    EXPECT_TRUE(logged("[INFO ] Serial port [" + plain + "] closed!"));
    for (const auto& refused : {second, plain}) EXPECT_FALSE(Locked_Line::held_by_someone(refused)) << refused;
    EXPECT_EQ(ask("bind A " + second), Expected::bound("A", second)) << "names compare exactly";
}

}  // namespace
}  // namespace Quorin_Test
