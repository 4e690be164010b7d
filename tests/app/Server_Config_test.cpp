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

TEST(Server_Config, port_bounds_are_1024_to_65535) {
    const auto parsed = parse("[control_service]\nport = 1023\n[pdo_service]\nport_start=65535\n"
                              "[sdo_service]\nport_start = 65536\n");
    EXPECT_EQ(parsed.config.control_service.port, 50000);
    EXPECT_EQ(parsed.config.pdo_service.port_start, 65535);
    EXPECT_EQ(parsed.config.sdo_service.port, 51000);
    EXPECT_NE(parsed.log.find("] [ERROR] Config control_service->port [1023] invalid (should be 1024 - 65535)!\n"),
              std::string::npos);
    EXPECT_NE(parsed.log.find("] [INFO ] Loaded pdo_service->port_start: 65535\n"), std::string::npos);
    EXPECT_NE(parsed.log.find("Config sdo_service->port [65536] invalid"), std::string::npos);
    const auto negative = parse("[control_service]\nport = -5\n");
    EXPECT_NE(negative.log.find("Config control_service->port [-5] invalid"), std::string::npos);
}

TEST(Server_Config, numbers_read_their_leading_digits_only) {
    const auto parsed = parse("[control_service]\nport = 5000abc\n[device]\nbaudrate = x115200\n");
    EXPECT_EQ(parsed.config.control_service.port, 5000);
    EXPECT_EQ(parsed.config.device.baudrate, 4000000u);
    EXPECT_NE(parsed.log.find("] [ERROR] Error parsing config line: baudrate = x115200 - stoi\n"),
              std::string::npos)
        << parsed.log;
    const auto too_big = parse("[device]\nbaudrate = 99999999999\n");
    EXPECT_NE(too_big.log.find("Error parsing config line: baudrate = 99999999999 - stoi"), std::string::npos);
}

TEST(Server_Config, negative_wide_values_wrap_to_unsigned) {
    const auto parsed = parse("[device]\nbaudrate = -1\n[sdo_service]\ntimeout_s = 7\n");
    EXPECT_EQ(parsed.config.device.baudrate, 18446744073709551615ull);
    EXPECT_NE(parsed.log.find("Loaded device->baudrate: 18446744073709551615\n"), std::string::npos);
    EXPECT_NE(parsed.log.find("Loaded sdo_service->timeout_s: 7\n"), std::string::npos);
}

TEST(Server_Config, sections_and_keys_are_exact_and_case_sensitive) {
    const auto parsed = parse(
        "port = 2000\n"                  // before any section
        "[Control_Service]\nport = 2001\n"
        "[ control_service ]\nport = 2002\n"
        "[control_service]\nPort = 2003\n"
        "[sdo_service]\nport = 2004\n"     // the SDO port is read from port_start only
        "[control_service] # note\nport = 2005\n");
    // The commented section line is no section line: "port" still falls in sdo_service.
    EXPECT_EQ(parsed.config.control_service.port, 50000);
    EXPECT_EQ(parsed.log, "");
    EXPECT_EQ(parsed.config.sdo_service.port, 51000);
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

TEST(Server_Config, host_ip_is_stored_in_canonical_form) {
    const auto v6 = parse("[server]\nhost_ip = 2001:DB8:0:0::1\n");
    EXPECT_EQ(v6.config.server.host_ip, "2001:db8::1");
    EXPECT_NE(v6.log.find("Loaded server->host_ip: 2001:db8::1\n"), std::string::npos);
    const auto commented = parse("[server]\nhost_ip = 10.0.0.1 # lab\n");
    EXPECT_EQ(commented.config.server.host_ip, "0.0.0.0");
    EXPECT_NE(commented.log.find("Error parsing config line: host_ip = 10.0.0.1 # lab - "), std::string::npos);
}

}  // namespace
