#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/Free_Port.hpp"
#include "support/Server_Process.hpp"
#include "support/Tcp_Client.hpp"

namespace Quorin_Test {
namespace {

TEST(List_Ports, answers_one_json_line_of_dev_paths_and_refuses_arguments) {
    Server_Process server(Server_Process::options_with_ports());
    Tcp_Client client(server.ctrl_port());

    const auto wrong = client.command("lsport now", ">-WRONG FORMAT\r\n");
    ASSERT_TRUE(wrong);
    EXPECT_EQ(*wrong, "USAGE: lsport\r\n>-WRONG FORMAT\r\n");

    const auto listing = client.command("lsport");
    ASSERT_TRUE(listing);
    ASSERT_TRUE(listing->ends_with("}\r\n")) << *listing;
    const auto document = nlohmann::json::parse(listing->substr(0, listing->size() - 2));
    ASSERT_TRUE(document.contains("ports")) << *listing;
    for (const auto& port : document["ports"]) {
        ASSERT_TRUE(port.is_string());
        EXPECT_TRUE(port.get<std::string>().starts_with("/dev/tty")) << port;
    }
    // An empty listing has no line after it; a full one neither: the next reply follows at once.
    const auto next = client.command("lsport x", ">-WRONG FORMAT\r\n");
    ASSERT_TRUE(next);
    EXPECT_EQ(*next, "USAGE: lsport\r\n>-WRONG FORMAT\r\n");

    client.close();
    server.close_stdin();
    EXPECT_EQ(server.wait_exit(), 0);
}

}  // namespace
}  // namespace Quorin_Test
