#include "app/Server_Config.hpp"

#include <gtest/gtest.h>

#include <sstream>

#include "support/Captured_Stdout.hpp"

namespace {

using Quorin_Core::Server_Config;
using Quorin_Test::Captured_Stdout;

struct Parsed {
    Server_Config config;
    std::string log;
};

Parsed parse(const std::string& text) {
    Parsed result;
    Captured_Stdout out;
    std::istringstream stream(text);
    result.config.parse(stream);
    result.log = out.text();
    return result;
}

TEST(Server_Config, defaults_stand_without_any_line) {
    const auto parsed = parse("");
    EXPECT_EQ(parsed.config.server.host_ip, "0.0.0.0");
    EXPECT_EQ(parsed.config.control_service.port, 50000);
    EXPECT_EQ(parsed.config.sdo_service.port, 51000);
    EXPECT_EQ(parsed.config.pdo_service.port_start, 52000);
    EXPECT_EQ(parsed.config.device.baudrate, 4000000u);
    EXPECT_EQ(parsed.config.control_service.timeout_s, 1000u);
    EXPECT_EQ(parsed.log, "");
}

TEST(Server_Config, lines_are_trimmed_and_the_last_valid_value_wins) {
    const auto parsed = parse(
        "\t[control_service]\r\n"
        "  # a comment = 1\n"
        "port =\t 3000 \r\n"
        "port = 3001\n"
        "port = 1\n"
        "port =   \n"
        "no equals sign\n"
        "[server]\nhost_ip = ::ffff:0:1=x\n");
    EXPECT_EQ(parsed.config.control_service.port, 3001);
    EXPECT_NE(parsed.log.find("Error parsing config line: host_ip = ::ffff:0:1=x - "), std::string::npos);
}

}  // namespace
