#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <set>
#include <string>

#include "support/Locked_Line.hpp"
#include "system/Device_Harness.hpp"

// The replies of bind, dev, lsdev and lsbind, and what a refused bind leaves behind.
namespace Quorin_Test {
namespace {

using Device_Commands = Device_Server_Test;

/// The names in an lsdev answer, or the records of an lsbind answer, in any order.
std::multiset<std::string> listed(const std::string& answer, const std::string& key) {
    const auto document = nlohmann::json::parse(answer);
    return document.at(key).get<std::multiset<std::string>>();
}

TEST_F(Device_Commands, bind_takes_exactly_a_name_and_a_port_and_dev_exactly_one_final_option) {
    const auto device = start_simulator(links, "sim");
    EXPECT_EQ(ask("bind"), Expected::bind_wrong_format);
    EXPECT_EQ(ask("bind a"), Expected::bind_wrong_format);
    // A two-word name cannot be made by bind: its second word would be taken for the port.
    EXPECT_EQ(ask("bind two words " + device->link_path()), Expected::bind_wrong_format);
    EXPECT_EQ(ask("lsdev"), Expected::no_devices);
    EXPECT_FALSE(Locked_Line::held_by_someone(device->link_path()));

    ASSERT_EQ(ask("bind a " + device->link_path()), Expected::bound("a", device->link_path()));
    EXPECT_EQ(ask("dev -h"), Expected::dev_description + "\r\n" + Expected::dev_usage + "\r\n");
    for (const std::string line : {"dev", "dev a", "dev a b", "dev -o", "dev -x", "dev a -o now", "dev a -o -c",
                                   "dev a -c -o", "dev -o a", "dev a -x", "dev a -h", "dev a -", "dev -h now",
                                   "dev -h -o"}) {
        EXPECT_EQ(ask(line), Expected::dev_wrong_format) << line;
    }
    EXPECT_EQ(times_logged("[INFO ] Session starting on [" + device->link_path() + "]..."), 0u);
    EXPECT_EQ(ask("lsdev"), "{\"devices\":[\"a\"]}\r\n");
    EXPECT_TRUE(saw_nothing(*device));
}

TEST_F(Device_Commands, unknown_names_are_not_found_whatever_the_option_and_words_before_it_are_one_name) {
    EXPECT_EQ(ask("dev ghost -o"), Expected::not_found("ghost"));
    EXPECT_EQ(ask("dev ghost -c"), Expected::not_found("ghost"));
    EXPECT_EQ(ask("dev ghost -d"), Expected::not_found("ghost"));
    EXPECT_EQ(ask("dev ghost -x"), Expected::not_found("ghost")) << "the name is looked up before the option";
    EXPECT_EQ(ask("dev Ghost -o"), Expected::not_found("Ghost"));
    const auto device = start_simulator(links, "sim");
    ASSERT_EQ(ask("bind two " + device->link_path()), Expected::bound("two", device->link_path()));
    EXPECT_EQ(ask("dev two words -o"), Expected::not_found("two words"));
    EXPECT_EQ(ask("dev \t two    words  -c"), Expected::not_found("two words"));
    EXPECT_EQ(ask("dev a b c -d"), Expected::not_found("a b c"));
    EXPECT_EQ(times_logged("[INFO ] Session starting on [" + device->link_path() + "]..."), 0u)
        << "device two was started by a command for two words";
    EXPECT_EQ(ask("lsdev"), "{\"devices\":[\"two\"]}\r\n");
}

TEST_F(Device_Commands, listings_follow_the_table_through_binds_and_deletes) {
    const auto hand = start_simulator(links, "hand");
    const auto arm = start_simulator(links, "arm");
    EXPECT_EQ(ask("lsdev"), Expected::no_devices);
    EXPECT_EQ(ask("lsbind"), Expected::no_binds);
    EXPECT_EQ(ask("lsdev now"), "USAGE: lsdev\r\n>-WRONG FORMAT\r\n");
    EXPECT_EQ(ask("lsbind now"), "USAGE: lsbind\r\n>-WRONG FORMAT\r\n");

    ASSERT_EQ(ask("bind hand " + hand->link_path()), Expected::bound("hand", hand->link_path()));
    EXPECT_EQ(ask("lsdev"), "{\"devices\":[\"hand\"]}\r\n");
    EXPECT_EQ(ask("lsbind"), "{\"binds\":[\"hand " + hand->link_path() + "\"]}\r\n");

    ASSERT_EQ(ask("bind arm " + arm->link_path()), Expected::bound("arm", arm->link_path()));
    const std::string devices = ask("lsdev");
    const std::string binds = ask("lsbind");
    EXPECT_TRUE(devices.ends_with("]}\r\n") && devices.find('\n') == devices.size() - 1) << devices;
    EXPECT_EQ(listed(devices, "devices"), (std::multiset<std::string>{"hand", "arm"})) << devices;
    EXPECT_EQ(listed(binds, "binds"),
              (std::multiset<std::string>{"hand " + hand->link_path(), "arm " + arm->link_path()}))
        << binds;

    ASSERT_EQ(ask("dev hand -d"), Expected::destroyed("hand"));
    EXPECT_EQ(ask("lsdev"), "{\"devices\":[\"arm\"]}\r\n");
    EXPECT_EQ(ask("lsbind"), "{\"binds\":[\"arm " + arm->link_path() + "\"]}\r\n");
    ASSERT_EQ(ask("dev arm -d"), Expected::destroyed("arm"));
    EXPECT_EQ(ask("lsdev"), Expected::no_devices);
    EXPECT_EQ(ask("lsbind"), Expected::no_binds);
}

TEST_F(Device_Commands, names_with_quotes_backslashes_and_control_bytes_are_listed_as_valid_json) {
    const auto device = start_simulator(links, "sim");
    const std::string name = "a\"b\\c\x01";
    ASSERT_EQ(ask("bind " + name + " " + device->link_path()), Expected::bound(name, device->link_path()));
    EXPECT_EQ(ask("lsdev"), "{\"devices\":[\"a\\\"b\\\\c\\u0001\"]}\r\n");
    EXPECT_EQ(ask("lsbind"), "{\"binds\":[\"a\\\"b\\\\c\\u0001 " + device->link_path() + "\"]}\r\n");
    EXPECT_EQ(listed(ask("lsdev"), "devices"), std::multiset<std::string>{name});
    EXPECT_EQ(ask("dev " + name + " -d"), Expected::destroyed(name));

    // Bytes that are no UTF-8 cannot stand in JSON text: the listing still answers, with a
    // replacement character in their place.
    ASSERT_EQ(ask("bind x\xff " + device->link_path()), Expected::bound("x\xff", device->link_path()));
    EXPECT_EQ(ask("lsdev"), "{\"devices\":[\"x\xef\xbf\xbd\"]}\r\n");
}

TEST_F(Device_Commands, a_name_or_a_port_in_use_is_refused_and_the_refusal_leaves_no_trace) {
    const auto first = start_simulator(links, "first");
    const auto second = start_simulator(links, "second");
    const std::string port = first->link_path();
    ASSERT_EQ(ask("bind a " + port), Expected::bound("a", port));

    EXPECT_EQ(ask("bind a " + port), Expected::bind_refused("a"));
    EXPECT_EQ(ask("bind b " + port), Expected::bind_refused("b"));
    EXPECT_EQ(ask("bind a " + second->link_path()), Expected::bind_refused("a"));
    EXPECT_FALSE(Locked_Line::held_by_someone(second->link_path())) << "a refused bind opened its port";
    EXPECT_EQ(times_logged("[INFO ] Serial port [" + second->link_path() + "] opened!"), 0u);
    EXPECT_EQ(ask("lsbind"), "{\"binds\":[\"a " + port + "\"]}\r\n");

    // Names and ports are compared exactly: another case is another name.
    EXPECT_EQ(ask("bind A " + second->link_path()), Expected::bound("A", second->link_path()));
    EXPECT_EQ(listed(ask("lsdev"), "devices"), (std::multiset<std::string>{"a", "A"}));
}

TEST_F(Device_Commands, a_missing_path_or_a_file_that_is_no_serial_line_is_refused_with_the_systems_message) {
    const std::string missing = links.path() + "/missing";
    EXPECT_EQ(ask("bind a " + missing), "No such file or directory\r\n" + Expected::bind_exception);
    EXPECT_TRUE(logged("[FATAL] Error opening serial port [" + missing + "]: No such file or directory"));
    EXPECT_TRUE(logged("[FATAL] Failed to create Serial_Port for Session on [" + missing +
                       "]:No such file or directory"));

    const std::string file = links.path() + "/plain";
    links.write_file("plain", "not a line");
    EXPECT_THAT(ask("bind a " + file), ::testing::EndsWith("Inappropriate ioctl for device\r\n" + Expected::bind_exception));
    EXPECT_TRUE(logged("[INFO ] Serial port [" + file + "] closed!"));
    EXPECT_FALSE(Locked_Line::held_by_someone(file)) << "the refused file is still held";
    EXPECT_EQ(ask("lsdev"), Expected::no_devices);

    const auto device = start_simulator(links, "sim");  // the name is still free
    EXPECT_EQ(ask("bind a " + device->link_path()), Expected::bound("a", device->link_path()));
}

TEST_F(Device_Commands, a_line_another_program_holds_is_refused_as_busy) {
    const auto device = start_simulator(links, "sim");
    const std::string port = device->link_path();
    {
        const Locked_Line other_program(port);
        EXPECT_EQ(ask("bind a " + port), "Device or resource busy\r\n" + Expected::bind_exception);
        EXPECT_TRUE(logged("[FATAL] Error opening serial port [" + port + "]: Device or resource busy"));
        EXPECT_TRUE(logged("[FATAL] Failed to create Serial_Port for Session on [" + port +
                           "]:Device or resource busy"));
        EXPECT_EQ(ask("lsdev"), Expected::no_devices);
    }
    ASSERT_EQ(ask("bind a " + port), Expected::bound("a", port));
    // The same line under another name passes the table's check; the lock still refuses it.
    const std::string same_line = device->slave_path();
    EXPECT_EQ(ask("bind b " + same_line), "Device or resource busy\r\n" + Expected::bind_exception);
    EXPECT_EQ(ask("lsbind"), "{\"binds\":[\"a " + port + "\"]}\r\n");
}

}  // namespace
}  // namespace Quorin_Test
