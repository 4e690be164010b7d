#include "utility/Logger.hpp"

#include <gtest/gtest.h>

#include <iomanip>
#include <regex>

#include "support/Captured_Stdout.hpp"

namespace {

using Quorin_Core::Utility::Log_Level;
using Quorin_Core::Utility::Logger;
using Quorin_Core::Utility::set_log_level;

TEST(Logger, milliseconds_are_zero_padded_to_three_digits) {
    const long long second = 1700000000LL * 1000000000LL;
    for (const auto& [nanoseconds, end] : std::vector<std::pair<long long, std::string>>{
             {0, ".000] "}, {7000000, ".007] "}, {45000000, ".045] "}, {999999999, ".999] "}})
        EXPECT_TRUE(Logger::time_stamp(second + nanoseconds).ends_with(end)) << Logger::time_stamp(second + nanoseconds);
}

TEST(Logger, each_line_is_a_time_stamp_a_tag_and_the_pieces_and_lines_below_the_level_are_left_out) {
    Quorin_Test::Captured_Stdout out;
    QUORIN_LOG(DEBUG, "hidden");
    QUORIN_LOG(INFO, "Serial port [", std::string("COM3"), "] opened!", ' ', 42);
    QUORIN_LOG(FATAL);
    QUORIN_LOG(INFO, "vid ", std::hex, 0x0483);
    QUORIN_LOG(INFO, 255);  // the manipulator does not leak into the next line, nor into the time stamps
    set_log_level(Log_Level::DEBUG);
    QUORIN_LOG(DEBUG, "shown");
    set_log_level(Log_Level::ERROR);
    QUORIN_LOG(WARN, "hidden");
    QUORIN_LOG_ERROR("still shown");
    set_log_level(Log_Level::INFO);
    EXPECT_EQ(std::regex_replace(out.text(), std::regex(R"((^|\n)\[\d\d:\d\d:\d\d\.\d\d\d\] )"), "$1"),
              "[INFO ] Serial port [COM3] opened! 42\n"
              "[FATAL] \n"
              "[INFO ] vid 483\n"
              "[INFO ] 255\n"
              "[DEBUG] shown\n"
              "[ERROR] still shown\n");
}

}  // namespace
