#include "cmd_line/Console.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <limits>

#include "cmd_line/Json_Listing.hpp"
#include "cmd_line/Total_Line.hpp"

// Splitting and dispatching whole command lines, and the replies, are checked through the
// console by the system tests.
namespace {

using namespace Quorin_Core::CMD_Line::Console;

template <typename Number>
struct Parse_Case {
    const char* text;
    CMD_Error result;
    std::string reply;
    Number value;  ///< what the variable holds after; it held 7 before
};

template <typename Number>
void expect_parses(Number minimum, Number maximum, const std::vector<Parse_Case<Number>>& cases) {
    for (const auto& c : cases) {
        Number value = 7;
        std::string reply;
        EXPECT_EQ(number_parser(std::string(c.text), minimum, maximum, value, reply), c.result) << c.text;
        EXPECT_EQ(reply, c.reply) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
}

TEST(Command_Line, numbers_hold_their_bounds_and_say_why_they_fail) {
    const std::string ints = "value must be between 0 and 255\r\n";
    expect_parses<int>(0, 255, {{"12abc", CMD_OK, "", 12}, {"0", CMD_OK, "", 0}, {"255", CMD_OK, "", 255},
                                {"-1", CMD_OVERRANGE, ints, -1}, {"256", CMD_OVERRANGE, ints, 256},
                                {"abc", CMD_WRONG_FORMAT, "stoi\r\n", 7}, {"99999999999", CMD_OVERRANGE, "stoi\r\n", 7}});
    const std::string floats = "value must be between 1.000000 and 500.000000\r\n";
    expect_parses<float>(1.0f, 500.0f, {{"1", CMD_OK, "", 1.0f}, {"500", CMD_OK, "", 500.0f},
                                        {"0.5", CMD_OVERRANGE, floats, 0.5f}, {"500.1", CMD_OVERRANGE, floats, 500.1f},
                                        {"inf", CMD_OVERRANGE, floats, std::numeric_limits<float>::infinity()},
                                        {"nan", CMD_OVERRANGE, floats, 7.0f}, {"-NaN", CMD_OVERRANGE, floats, 7.0f},
                                        {"hz", CMD_WRONG_FORMAT, "stof\r\n", 7.0f}, {"1e39", CMD_OVERRANGE, "stof\r\n", 7.0f}});
}

TEST(Command_Line, endpoint_ports_run_from_0_to_65535) {
    boost::asio::ip::udp::endpoint endpoint;
    std::string reply;
    EXPECT_EQ(str_to_endpoint("bad", "65536", endpoint, reply), CMD_OVERRANGE) << "the port is checked first";
    EXPECT_EQ(str_to_endpoint("1.2.3.4", "99999999999", endpoint, reply), CMD_OVERRANGE);
    EXPECT_EQ(reply, "port must be <0-65535>\r\nstoi\r\n");
    ASSERT_EQ(str_to_endpoint("::1", "65535", endpoint, reply), CMD_OK);
    EXPECT_EQ(endpoint, boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("::1"), 65535));
}

TEST(Command_Line, str_format_cuts_at_4095_characters_and_totals_print_all_64_bits) {
    EXPECT_EQ(str_format("%s", std::string(5000, 'x').c_str()), std::string(4095, 'x'));
    using Quorin_Core::CMD_Line::total_line;
    EXPECT_EQ(total_line("--total rpdo bytes: [", 5'000'000'000, "]:\n"), "--total rpdo bytes: [5000000000]:\n");
    EXPECT_EQ(total_line("", std::numeric_limits<std::uint64_t>::max(), ""), "18446744073709551615");
}

TEST(Json_Listing, one_line_of_json_whatever_bytes_the_names_hold) {
    using Quorin_Core::CMD_Line::json_listing;
    const std::vector<std::string> odd{"a\"b", "c\\d", "line\r\nbreak", std::string("nul\0x", 5), "\x01\x1f\t"};
    const std::string listing = json_listing("ports", odd);
    ASSERT_TRUE(listing.ends_with("\r\n"));
    const std::string body = listing.substr(0, listing.size() - 2);
    EXPECT_EQ(body.find_first_of("\r\n"), std::string::npos) << "one line";
    EXPECT_EQ(nlohmann::json::parse(body)["ports"].get<std::vector<std::string>>(), odd);
    // Invalid UTF-8 is replaced, not thrown on.
    EXPECT_EQ(json_listing("devices", {"ok", "bad\xff", "\xc3"}), "{\"devices\":[\"ok\",\"bad\xEF\xBF\xBD\",\"\xEF\xBF\xBD\"]}\r\n");
}

}  // namespace
