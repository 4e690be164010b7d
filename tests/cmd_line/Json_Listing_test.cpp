#include "cmd_line/Json_Listing.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using Quorin_Core::CMD_Line::json_listing;

// The listing without its line end, parsed; fails the test when it is not one line of JSON.
nlohmann::json parsed(const std::string& listing) {
    EXPECT_TRUE(listing.ends_with("\r\n"));
    const std::string body = listing.substr(0, listing.size() - 2);
    EXPECT_EQ(body.find_first_of("\r\n"), std::string::npos) << "one line";
    return nlohmann::json::parse(body);
}

TEST(Json_Listing, plain_names_give_the_exact_bytes) {
    EXPECT_EQ(json_listing("ports", {}), "{\"ports\":[]}\r\n");
    EXPECT_EQ(json_listing("ports", {"/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyACM0"}),
              "{\"ports\":[\"/dev/ttyACM0\",\"/dev/ttyS0\",\"/dev/ttyACM0\"]}\r\n");
    EXPECT_EQ(json_listing("devices", {"hand", "arm"}), "{\"devices\":[\"hand\",\"arm\"]}\r\n");
}

TEST(Json_Listing, quotes_backslashes_and_control_characters_stay_valid_json) {
    const std::vector<std::string> names{"a\"b", "c\\d", "line\r\nbreak", std::string("nul\0x", 5),
                                         "\x01\x1f\t", "\"", "\\"};
    const std::string listing = json_listing("ports", names);
    EXPECT_EQ(parsed(listing)["ports"].get<std::vector<std::string>>(), names);
    EXPECT_NE(listing.find(R"("a\"b")"), std::string::npos) << listing;
}

TEST(Json_Listing, invalid_utf8_is_replaced_not_thrown) {
    const std::string listing = json_listing("devices", {"ok", "bad\xff\xfe", "\xc3"});
    const auto names = parsed(listing)["devices"].get<std::vector<std::string>>();
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0], "ok");
    EXPECT_TRUE(names[1].starts_with("bad"));
}

}  // namespace
