#include "server/Server_Config.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace {

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
