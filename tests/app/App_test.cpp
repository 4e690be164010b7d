#include "app/Line_Reader.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using Quorin_Core::App::Line_Reader;

TEST(Line_Reader, lines_come_back_as_typed_with_a_prompt_each_and_end_of_input_is_nothing) {
    std::istringstream in("help\n\n exit \r\nexit");
    std::ostringstream out;
    Line_Reader reader(in, out);
    // No trimming: blanks and a carriage return the C runtime left stay in the line.
    for (const char* line : {"help", "", " exit \r", "exit"}) EXPECT_EQ(reader.read_line("> "), line);
    EXPECT_EQ(reader.read_line("> "), std::nullopt);
    EXPECT_EQ(reader.read_line("> "), std::nullopt) << "ended, and stays ended";
    EXPECT_EQ(out.str(), "> > > > > > ") << "a prompt for every call; nothing is echoed";
}

TEST(Line_Reader, history_keeps_the_newest_lines_up_to_its_capacity) {
    std::istringstream in;
    std::ostringstream out;
    Line_Reader reader(in, out);
    for (std::size_t n = 0; n <= Line_Reader::history_capacity; ++n) reader.add_history(std::to_string(n));
    ASSERT_EQ(reader.history().size(), Line_Reader::history_capacity);
    EXPECT_EQ(reader.history().front(), "1");
    EXPECT_EQ(reader.history().back(), std::to_string(Line_Reader::history_capacity));
}

}  // namespace
