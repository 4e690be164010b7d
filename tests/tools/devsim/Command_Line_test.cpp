#include "tools/devsim/Command_Line.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace Quorin_Tools::Devsim;
using namespace std::chrono_literals;

Command_Line parse(std::vector<std::string> args) {
    args.insert(args.begin(), "quorin-devsim");
    std::vector<const char*> argv;
    for (const auto& arg : args) argv.push_back(arg.c_str());
    return Command_Line::parse(static_cast<int>(argv.size()), argv.data());
}

TEST(Command_Line, every_option_is_read_in_both_forms) {
    const Command_Line line =
        parse({"--baud", "4000000", "--native-usb", "--split=3", "--split-gap", "250", "--tpdo=counter",
               "--tpdo-size", "1014", "--delay=1500", "--drop-every", "2", "--corrupt-crc-every=3",
               "--wrong-source-every", "4", "--wrong-length-every=5", "--stray-every", "6", "--unplug-after=7",
               "--replug-after", "800", "--trace=/tmp/t.trace", "/tmp/link"});
    ASSERT_EQ(line.error, "");
    const Config& c = line.config;
    EXPECT_EQ(c.link_path, "/tmp/link");
    EXPECT_EQ(c.baud, 4'000'000u);
    EXPECT_TRUE(c.native_usb);
    EXPECT_EQ(c.behaviour.split_pieces, 3u);
    EXPECT_EQ(c.behaviour.split_gap, 250us);
    EXPECT_EQ(c.behaviour.tpdo_mode, TPDO_Mode::COUNTER);
    EXPECT_EQ(c.behaviour.tpdo_size, 1014u);
    EXPECT_EQ(c.behaviour.answer_delay, 1500us);
    EXPECT_EQ(c.behaviour.faults.drop_every, 2u);
    EXPECT_EQ(c.behaviour.faults.corrupt_crc_every, 3u);
    EXPECT_EQ(c.behaviour.faults.wrong_source_every, 4u);
    EXPECT_EQ(c.behaviour.faults.wrong_length_every, 5u);
    EXPECT_EQ(c.behaviour.faults.stray_every, 6u);
    EXPECT_EQ(c.unplug_after, 7u);
    EXPECT_EQ(c.replug_after, 800ms);
    EXPECT_EQ(c.trace_path, "/tmp/t.trace");
}

TEST(Command_Line, bad_lines_say_what_is_wrong) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{}, "no link path"},
        {{"a", "b"}, "more than one link path"},
        {{"--bogus", "a"}, "unknown option --bogus"},
        {{"a", "--baud"}, "--baud wants a value"},
        {{"--baud", "12x", "a"}, "--baud wants a whole number"},
        {{"--baud", "-1", "a"}, "--baud wants a whole number"},
        {{"--baud=100000001", "a"}, "from 0 to 100000000"},
        {{"--split", "0", "a"}, "--split wants a whole number from 1 to 1024"},
        {{"--tpdo-size", "3", "a"}, "from 4 to 1014"},
        {{"--tpdo-size", "1015", "a"}, "from 4 to 1014"},
        {{"--tpdo", "zero", "a"}, "--tpdo wants echo or counter, not 'zero'"},
        {{"--native-usb=1", "a"}, "--native-usb takes no value"},
        {{"--trace=", "a"}, "--trace wants a file name"},
        {{"--drop-every", "4294967296", "a"}, "--drop-every wants a whole number"},
    };
    for (const auto& [args, expected] : cases) {
        const Command_Line line = parse(args);
        EXPECT_NE(line.error.find(expected), std::string::npos) << line.error;
        EXPECT_FALSE(line.help);
    }
}

}  // namespace
