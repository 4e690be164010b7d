#include <gtest/gtest.h>

#include "support/Free_Port.hpp"
#include "support/Server_Process.hpp"
#include "support/Tcp_Client.hpp"

namespace Quorin_Test {
namespace {

TEST(Startup, starts_answers_on_tcp_and_stops_on_end_of_input) {
    Server_Process server(Server_Process::options_with_ports(free_port()));
    Tcp_Client client(server.ctrl_port());
    const auto reply = client.command("lsctrl");
    ASSERT_TRUE(reply);
    EXPECT_TRUE(reply->starts_with("{\"connections\":[\"127.0.0.1:")) << *reply;
    client.close();
    server.close_stdin();
    EXPECT_EQ(server.wait_exit(), 0);
}

}  // namespace
}  // namespace Quorin_Test
