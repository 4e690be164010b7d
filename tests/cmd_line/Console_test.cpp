#include "cmd_line/Console.hpp"

#include <gtest/gtest.h>

#include <climits>

namespace {

using namespace Quorin_Core::CMD_Line::Console;

TEST(Str_Split, tokens_are_runs_of_non_whitespace) {
    const auto [name, args] = str_split(" \tpdo  my\vdev\f-o   1.2.3.4 5000\r\n");
    EXPECT_EQ(name, "pdo");
    EXPECT_EQ(args, (std::vector<std::string>{"my", "dev", "-o", "1.2.3.4", "5000"}));
    const auto [empty_name, no_args] = str_split("   \r\n");
    EXPECT_EQ(empty_name, "");
    EXPECT_TRUE(no_args.empty());
}

TEST(Option_Parser, rejoins_the_name_and_reports_option_positions) {
    std::string name;
    EXPECT_EQ(option_parser({"my", "dev", "-o", "1.2.3.4", "5000"}, name), (std::vector<unsigned>{2}));
    EXPECT_EQ(name, "my dev");

    std::string after_options;
    EXPECT_EQ(option_parser({"-c", "x", "-d"}, after_options), (std::vector<unsigned>{0, 2}));
    EXPECT_EQ(after_options, "");

    std::string appended = "pre";
    EXPECT_TRUE(option_parser({"a"}, appended).empty());
    EXPECT_EQ(appended, "prea");
}

TEST(Number_Parser, int_bounds_and_conversion_failures) {
    int value = -1;
    std::string reply;
    EXPECT_EQ(number_parser(std::string("12abc"), 0, 255, value, reply), CMD_OK);
    EXPECT_EQ(value, 12);
    EXPECT_EQ(reply, "");

    EXPECT_EQ(number_parser(std::string("abc"), 0, 255, value, reply), CMD_WRONG_FORMAT);
    EXPECT_EQ(reply, "stoi\r\n");

    reply.clear();
    EXPECT_EQ(number_parser(std::string("256"), 0, 255, value, reply), CMD_OVERRANGE);
    EXPECT_EQ(reply, "value must be between 0 and 255\r\n");
    EXPECT_EQ(value, 256);  // stored even when out of range

    reply.clear();
    EXPECT_EQ(number_parser(std::string("-1"), 0, 255, value, reply), CMD_OVERRANGE);
    EXPECT_EQ(number_parser(std::string("0"), 0, 255, value, reply = ""), CMD_OK);
    EXPECT_EQ(number_parser(std::string("255"), 0, 255, value, reply), CMD_OK);

    EXPECT_EQ(number_parser(std::string("99999999999"), 0, 255, value, reply), CMD_OVERRANGE);
    EXPECT_EQ(reply, "stoi\r\n");
    EXPECT_EQ(value, 255);  // a number that does not fit is not stored
}

TEST(Number_Parser, float_bounds_and_not_a_number) {
    float value = 0;
    std::string reply;
    EXPECT_EQ(number_parser(std::string("500"), 1.0f, 500.0f, value, reply), CMD_OK);
    EXPECT_EQ(number_parser(std::string("1"), 1.0f, 500.0f, value, reply), CMD_OK);
    EXPECT_EQ(number_parser(std::string("0.5"), 1.0f, 500.0f, value, reply), CMD_OVERRANGE);
    EXPECT_EQ(reply, "value must be between 1.000000 and 500.000000\r\n");
    EXPECT_FLOAT_EQ(value, 0.5f);

    for (const char* odd : {"nan", "-NaN", "nan(0x1)"}) {
        value = 100.0f;
        reply.clear();
        EXPECT_EQ(number_parser(std::string(odd), 1.0f, 500.0f, value, reply), CMD_OVERRANGE) << odd;
        EXPECT_EQ(reply, "value must be between 1.000000 and 500.000000\r\n");
        EXPECT_FLOAT_EQ(value, 100.0f) << "a NaN must change nothing";
    }
    reply.clear();
    EXPECT_EQ(number_parser(std::string("inf"), 1.0f, 500.0f, value, reply), CMD_OVERRANGE);
    reply.clear();
    EXPECT_EQ(number_parser(std::string("hz"), 1.0f, 500.0f, value, reply), CMD_WRONG_FORMAT);
    EXPECT_EQ(reply, "stof\r\n");
    reply.clear();
    EXPECT_EQ(number_parser(std::string("1e39"), 1.0f, 500.0f, value, reply), CMD_OVERRANGE);
    EXPECT_EQ(reply, "stof\r\n");
}

TEST(Str_To_Endpoint, port_is_checked_before_the_address) {
    boost::asio::ip::udp::endpoint endpoint;
    std::string reply;
    EXPECT_EQ(str_to_endpoint("bad", "70000", endpoint, reply), CMD_OVERRANGE);
    EXPECT_EQ(reply, "port must be <0-65535>\r\n");
    reply.clear();
    EXPECT_EQ(str_to_endpoint("1.2.3.4", "-1", endpoint, reply), CMD_OVERRANGE);
    EXPECT_EQ(reply, "port must be <0-65535>\r\n");
    reply.clear();
    EXPECT_EQ(str_to_endpoint("1.2.3.4", "p", endpoint, reply), CMD_WRONG_FORMAT);
    EXPECT_EQ(reply, "stoi\r\n");
    reply.clear();
    EXPECT_EQ(str_to_endpoint("1.2.3.4", "99999999999", endpoint, reply), CMD_OVERRANGE);
    EXPECT_EQ(reply, "stoi\r\n");
    reply.clear();
    EXPECT_EQ(str_to_endpoint("1.2.3.400", "5", endpoint, reply), CMD_WRONG_FORMAT);
    EXPECT_TRUE(reply.ends_with("\r\n"));
    EXPECT_GT(reply.size(), 2u);
}

TEST(Str_To_Endpoint, accepts_both_families_and_port_zero) {
    boost::asio::ip::udp::endpoint endpoint;
    std::string reply;
    ASSERT_EQ(str_to_endpoint("192.168.1.10", "0", endpoint, reply), CMD_OK);
    EXPECT_EQ(endpoint.address().to_string(), "192.168.1.10");
    EXPECT_EQ(endpoint.port(), 0);
    ASSERT_EQ(str_to_endpoint("::1", "65535", endpoint, reply), CMD_OK);
    EXPECT_TRUE(endpoint.address().is_v6());
    EXPECT_EQ(endpoint.port(), 65535);
    EXPECT_EQ(reply, "");
}

TEST(Str_Format, formats_and_cuts_at_4095_characters) {
    EXPECT_EQ(str_format("%s=%05.2f%%", "rate", 3.14159), "rate=03.14%");
    const std::string long_text(5000, 'x');
    EXPECT_EQ(str_format("%s", long_text.c_str()).size(), 4095u);
}

}  // namespace
