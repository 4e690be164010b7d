#include "utility/Logger.hpp"

#include "support/Captured_Stdout.hpp"

#include <gtest/gtest.h>

#include <iomanip>
#include <iostream>
#include <regex>
#include <sstream>

namespace {

using Quorin_Core::Utility::Log_Level;
using Quorin_Core::Utility::Logger;

using Quorin_Test::Captured_Stdout;

class Logger_Test : public ::testing::Test {
protected:
    void TearDown() override { Quorin_Core::Utility::set_log_level(Log_Level::INFO); }
};

TEST_F(Logger_Test, tags_are_five_characters) {
    EXPECT_EQ(Logger::level_to_string(Log_Level::DEBUG), "DEBUG");
    EXPECT_EQ(Logger::level_to_string(Log_Level::INFO), "INFO ");
    EXPECT_EQ(Logger::level_to_string(Log_Level::WARN), "WARN ");
    EXPECT_EQ(Logger::level_to_string(Log_Level::FATAL), "FATAL");
}

TEST_F(Logger_Test, milliseconds_are_zero_padded_to_three_digits) {
    const long long second = 1700000000LL * 1000000000LL;
    EXPECT_TRUE(Logger::time_stamp(second).ends_with(".000] "));
    EXPECT_TRUE(Logger::time_stamp(second + 7000000LL).ends_with(".007] "));
    EXPECT_TRUE(Logger::time_stamp(second + 999999999LL).ends_with(".999] "));
    EXPECT_TRUE(std::regex_match(Logger::time_stamp(second + 45000000LL),
                                 std::regex(R"(\[\d\d:\d\d:\d\d\.045\] )")));
}

TEST_F(Logger_Test, debug_lines_pass_only_after_lowering_the_level) {
    Captured_Stdout out;
    QUORIN_LOG(DEBUG, "hidden");
    EXPECT_EQ(out.text(), "");
    Quorin_Core::Utility::set_log_level(Log_Level::DEBUG);
    QUORIN_LOG(DEBUG, "shown");
    EXPECT_TRUE(std::regex_match(out.text(), std::regex(R"(\[\d\d:\d\d:\d\d\.\d{3}\] \[DEBUG\] shown\n)")));
}

TEST_F(Logger_Test, pieces_are_joined_and_errors_are_tagged) {
    Captured_Stdout out;
    QUORIN_LOG(INFO, "Serial port [", std::string("COM3"), "] opened!", ' ', 42);
    QUORIN_LOG_ERROR("bad ", "thing");
    QUORIN_LOG(WARN);
    QUORIN_LOG(INFO, "", "");
    EXPECT_TRUE(std::regex_match(out.text(),
                                 std::regex(R"(\[[0-9:.]{12}\] \[INFO \] Serial port \[COM3\] opened! 42\n)"
                                            R"(\[[0-9:.]{12}\] \[ERROR\] bad thing\n)"
                                            R"(\[[0-9:.]{12}\] \[WARN \] \n)"
                                            R"(\[[0-9:.]{12}\] \[INFO \] \n)")))
        << out.text();
}

TEST_F(Logger_Test, hex_manipulator_does_not_leak_into_the_next_line) {
    Captured_Stdout out;
    QUORIN_LOG(INFO, "vid ", std::hex, 0x0483);
    QUORIN_LOG(INFO, 255);
    const std::string text = out.text();
    EXPECT_NE(text.find("vid 483\n"), std::string::npos);
    // Time stamps stay decimal, and so does the next line's number.
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(\n\[\d\d:\d\d:\d\d\.\d{3}\] \[INFO \] 255\n$)"))) << text;
}

}  // namespace
