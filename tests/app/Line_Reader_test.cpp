#include "app/Line_Reader.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using Quorin_Core::App::Line_Reader;

struct Console {
    explicit Console(const std::string& input) : in(input), reader(in, out) {}
    std::istringstream in;
    std::ostringstream out;
    Line_Reader reader;
};

TEST(Line_Reader, lines_come_back_as_typed_and_end_of_input_is_nothing) {
    Console console("help\n\n exit \r\nexit");
    EXPECT_EQ(console.reader.read_line("> "), "help");
    EXPECT_EQ(console.reader.read_line("> "), "");
    // No trimming: blanks and a carriage return the C runtime left stay in the line.
    EXPECT_EQ(console.reader.read_line("> "), " exit \r");
    // The last line needs no "\n"; after it the input has ended, and stays ended.
    EXPECT_EQ(console.reader.read_line("> "), "exit");
    EXPECT_EQ(console.reader.read_line("> "), std::nullopt);
    EXPECT_EQ(console.reader.read_line("> "), std::nullopt);
    // A prompt for every call, end of input included; nothing is echoed.
    EXPECT_EQ(console.out.str(), "> > > > > > ");
}

TEST(Line_Reader, empty_input_ends_at_once_after_the_prompt) {
    Console console("");
    EXPECT_EQ(console.reader.read_line("Quorin Core: > "), std::nullopt);
    EXPECT_EQ(console.out.str(), "Quorin Core: > ");
}

TEST(Line_Reader, history_keeps_the_newest_lines_up_to_its_capacity) {
    Console console("");
    for (std::size_t n = 0; n < Line_Reader::history_capacity; ++n) console.reader.add_history(std::to_string(n));
    ASSERT_EQ(console.reader.history().size(), Line_Reader::history_capacity);
    EXPECT_EQ(console.reader.history().front(), "0");

    console.reader.add_history("lsport");
    console.reader.add_history("lsport");
    ASSERT_EQ(console.reader.history().size(), Line_Reader::history_capacity);
    EXPECT_EQ(console.reader.history().front(), "2");
    EXPECT_EQ(console.reader.history().back(), "lsport");
    EXPECT_EQ(console.reader.history()[Line_Reader::history_capacity - 2], "lsport");
}

}  // namespace
