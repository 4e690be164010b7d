// The quorin-devsim executable, run as an operator or a script would.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "Server_View.hpp"
#include "support/Link_Peer.hpp"
#include "support/Server_Process.hpp"

namespace {

using namespace Devsim_Test;
using Quorin_Test::Server_Process;
using Quorin_Test::Link_Peer;
using Quorin_Test::Temp_Dir;
using namespace std::chrono_literals;

/// The simulator's executable, started with `args`.
Server_Process devsim(std::vector<std::string> args) {
    Server_Process::Options options;
    options.command = {QUORIN_DEVSIM_BINARY};
    options.args = std::move(args);
    options.wait_until_started = false;
    return Server_Process(options);
}

TEST(Devsim_Process, help_and_bad_command_lines) {
    Server_Process help = devsim({"--help"});
    EXPECT_EQ(help.wait_exit(), 0);
    EXPECT_TRUE(help.out().starts_with("Usage: quorin-devsim [options] <link-path>")) << help.out();

    Server_Process bad = devsim({"--split", "0", "/tmp/x"});
    EXPECT_EQ(bad.wait_exit(), 2);
    EXPECT_NE(bad.err().find("--split wants a whole number"), std::string::npos) << bad.err();

    Temp_Dir dir;
    dir.write_file("taken", "");
    Server_Process taken = devsim({dir.path() + "/taken"});
    EXPECT_EQ(taken.wait_exit(), 1);
    EXPECT_NE(taken.err().find("exists and is not a symbolic link"), std::string::npos) << taken.err();
}

TEST(Devsim_Process, serves_traces_and_on_sigterm_removes_the_link_and_prints_counters) {
    Temp_Dir dir;
    const std::string link = dir.path() + "/sim0";
    const std::string trace = dir.path() + "/frames.trace";
    Server_Process simulator = devsim({"--tpdo=counter", "--tpdo-size", "8", "--trace", trace, link});
    ASSERT_TRUE(simulator.wait_for_output("ready on " + link)) << simulator.err();
    {
        Link_Peer peer(link);
        peer.send(pdo, {7}, 0);
        peer.send(pdo, tpdo_request_data, full_quota);
        const auto answer = peer.read_frame();
        ASSERT_TRUE(answer);
        EXPECT_EQ(Server_View(*answer).pdo_data, padded({1, 0, 0, 0, 4, 5, 6, 7}));
    }
    simulator.signal(SIGTERM);
    EXPECT_EQ(simulator.wait_exit(), 0);
    EXPECT_FALSE(link_exists(link));
    EXPECT_NE(simulator.out().find("\nrpdo_frames: 1\ntpdo_requests: 1\n"), std::string::npos) << simulator.out();

    std::ifstream file(trace);
    std::string header, rpdo, request, more;
    std::getline(file, header), std::getline(file, rpdo), std::getline(file, request);
    EXPECT_TRUE(header.starts_with("# read_ns"));
    EXPECT_NE(rpdo.find(" rpdo 16 0 ok 0"), std::string::npos) << rpdo;
    EXPECT_NE(request.find(" tpdo-request 16 256 ok 0"), std::string::npos) << request;
    EXPECT_FALSE(std::getline(file, more));
}

}  // namespace
