#include "utility/Logger.hpp"

#include "support/Captured_Stdout.hpp"

#include <gtest/gtest.h>

#include <iomanip>
#include <iostream>
#include <sstream>

namespace {

using Quorin_Core::Utility::Log_Level;
using Quorin_Core::Utility::Logger;

using Quorin_Test::Captured_Stdout;

// "[HH:MM:SS.mmm] " with decimal digits only.
bool is_time_stamp(const std::string& text) {
    const std::string shape = "[00:00:00.000] ";
    if (text.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == '0' ? !digit : text[i] != shape[i]) return false;
    }
    return true;
}

// Each line with its time stamp checked and removed; "?" marks a line without a valid one.
std::string lines_without_time(const std::string& text) {
    std::string result;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        const std::string line = text.substr(start, end == std::string::npos ? end : end - start + 1);
        result += is_time_stamp(line.substr(0, 15)) ? line.substr(15) : "?" + line;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return result;
}

class Logger_Test : public ::testing::Test {
protected:
    void TearDown() override { Quorin_Core::Utility::set_log_level(Log_Level::INFO); }
};

TEST_F(Logger_Test, milliseconds_are_zero_padded_to_three_digits) {
    const long long second = 1700000000LL * 1000000000LL;
    EXPECT_TRUE(Logger::time_stamp(second).ends_with(".000] "));
    EXPECT_TRUE(Logger::time_stamp(second + 7000000LL).ends_with(".007] "));
    EXPECT_TRUE(Logger::time_stamp(second + 999999999LL).ends_with(".999] "));
    EXPECT_TRUE(is_time_stamp(Logger::time_stamp(second + 45000000LL)));
    EXPECT_TRUE(Logger::time_stamp(second + 45000000LL).ends_with(".045] "));
}

TEST_F(Logger_Test, debug_lines_pass_only_after_lowering_the_level) {
    Captured_Stdout out;
    QUORIN_LOG(DEBUG, "hidden");
    EXPECT_EQ(out.text(), "");
    Quorin_Core::Utility::set_log_level(Log_Level::DEBUG);
    QUORIN_LOG(DEBUG, "shown");
    EXPECT_EQ(lines_without_time(out.text()), "[DEBUG] shown\n");
}

TEST_F(Logger_Test, pieces_are_joined_and_errors_are_tagged) {
    Captured_Stdout out;
    QUORIN_LOG(INFO, "Serial port [", std::string("COM3"), "] opened!", ' ', 42);
    QUORIN_LOG_ERROR("bad ", "thing");
    QUORIN_LOG(WARN);
    QUORIN_LOG(INFO, "", "");
    EXPECT_EQ(lines_without_time(out.text()),
              "[INFO ] Serial port [COM3] opened! 42\n"
              "[ERROR] bad thing\n"
              "[WARN ] \n"
              "[INFO ] \n");
}

TEST_F(Logger_Test, hex_manipulator_does_not_leak_into_the_next_line) {
    Captured_Stdout out;
    QUORIN_LOG(INFO, "vid ", std::hex, 0x0483);
    QUORIN_LOG(INFO, 255);
    const std::string text = out.text();
    EXPECT_NE(text.find("vid 483\n"), std::string::npos);
    // Time stamps stay decimal, and so does the next line's number.
    EXPECT_EQ(lines_without_time(text), "[INFO ] vid 483\n[INFO ] 255\n");
}

}  // namespace
