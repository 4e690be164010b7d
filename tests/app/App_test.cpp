#include "app/Line_Reader.hpp"
#include "app/Server_Config.hpp"

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

// The file's lines are checked through the server's log by the system tests.
TEST(Server_Config, defaults_stand_without_any_line) {
    const Quorin_Core::Server_Config config;
    EXPECT_EQ(config.server.host_ip, "0.0.0.0");
    EXPECT_EQ(config.control_service.port, 50000);
    EXPECT_EQ(config.sdo_service.port, 51000);
    EXPECT_EQ(config.pdo_service.port_start, 52000);
    EXPECT_EQ(config.device.baudrate, 4000000u);
    EXPECT_TRUE(config.device.realtime_priority);
}

TEST(Server_Config, a_baudrate_no_serial_port_runs_at_keeps_the_previous_value) {
    Quorin_Core::Server_Config config;
    std::istringstream text("[device]\nbaudrate = 16000000\nbaudrate = 16000001\nbaudrate = 0\nbaudrate = -1\nbaudrate = 299");
    config.parse(text);
    EXPECT_EQ(config.device.baudrate, 16000000u);
}

}  // namespace
