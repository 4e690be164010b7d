#include <gtest/gtest.h>

#include <string>

#include "support/Pty_Pair.hpp"
#include "system/Device_Harness.hpp"

namespace Quorin_Test {
namespace {

using Expected::usage_reply;
using SDO_Command = Device_Server_Test;

// Devices bound to ptys: their sessions never start, the commands need no device that answers.
TEST_F(SDO_Command, links_and_mailboxes_are_added_listed_and_removed_with_their_fixed_replies) {
    const Pty_Pair hand, arm;
    const Udp_Client taken(static_cast<std::uint16_t>(ports.sdo + 2));
    const auto port = [&](unsigned offset) { return std::to_string(ports.sdo + offset); };
    const auto added = [&](unsigned offset, const std::string& client, const std::string& device = "hand") {
        return "OK add sdo link: server 0.0.0.0 " + port(offset) + " client " + client + " on [" + device + "]\r\n";
    };
    const std::string wrong = usage_reply("sdo", "WRONG FORMAT"), overrange = usage_reply("sdo", "OVERRANGE");
    const std::string removed = "OK removed sdo link on [hand]\r\n", all_removed = "OK removed all sdo mailboxes\r\n",
                      no_mailbox = "FAILED to find sdo mailbox on [hand]\r\n>-FAILED\r\n";
    expect_replies({{"bind hand " + hand.port_path(), Expected::bound("hand", hand.port_path())},
                    {"bind arm " + arm.port_path(), Expected::bound("arm", arm.port_path())}});
    expect_reply({"sdo", "sdo hand", "sdo hand arm", "sdo hand -x", "sdo hand -o 1.2.3.4", "sdo hand -o 1.2.3.4 5 6",
                  "sdo hand -c 1.2.3.4 5 6"}, wrong);
    expect_replies({
        {"sdo hand -o 1.2.3.4 x", "stoi\r\n" + wrong}, {"sdo hand -o 1.2.3.999 5", "Invalid argument\r\n" + wrong},
        {"sdo hand -o 1.2.3.4 70000", "port must be <0-65535>\r\n" + overrange}, {"sdo -h", usage_reply("sdo")},
        {"sdo leg -x", Expected::not_found("leg")},  // the name is looked up before the option
        {"lssdo leg", Expected::not_found("leg")}, {"lssdo hand -x", "USAGE: lssdo\r\n>-WRONG FORMAT\r\n"},
        {"sdo hand -c", no_mailbox}, {"lssdo hand", no_mailbox},  // a mistyped endpoint opened none
        {"sdo -c", all_removed}, {"lssdo", Expected::no_mailboxes},
        {"sdo hand -o 10.0.0.1 9000", added(0, "10.0.0.1 9000")},
        {"sdo hand -o 10.0.0.1 9000", "FAILED to add sdo link on [hand]\r\n>-FAILED\r\n"},
        {"sdo hand -o 10.0.0.2 09001", added(0, "10.0.0.2 09001")},  // echoed as typed
        {"lssdo", "{\"mailboxes\":[\"0.0.0.0:" + port(0) + "\",\"[0] 10.0.0.1:9000\",\"[1] 10.0.0.2:9001\"]}\r\n"},
        {"lssdo hand", "{\"mailboxes\":[\"[0] 10.0.0.1:9000\",\"[1] 10.0.0.2:9001\"]}\r\n"},
        {"sdo hand -c 0", removed}, {"sdo hand -c 0", "FAILED to find EPID 0 on [hand]\r\n>-FAILED\r\n"},
        {"sdo hand -c 256", "value must be between 0 and 255\r\n" + overrange}, {"sdo hand -c abc", "stoi\r\n" + wrong},
        {"sdo hand -c 10.0.0.2 9001", removed},
        {"sdo hand -c 10.0.0.2 9001", "FAILED to remove sdo link on [hand]\r\n>-FAILED\r\n"},
        {"sdo hand -o 10.0.0.3 1", added(0, "10.0.0.3 1")}, {"sdo hand -c", "OK removed all sdo links on [hand].\r\n"},
        {"lssdo hand", Expected::no_mailboxes}, {"sdo -c", all_removed},  // an empty link list is still an answer
        {"sdo hand -o 10.0.0.1 1", added(1, "10.0.0.1 1")},  // a mailbox's port is never given back
        {"sdo arm -o 10.0.0.1 1",
         "Error binding sdo mailbox on port " + port(2) + ": Address already in use\r\n" + usage_reply("sdo", "EXCEPTION")},
        {"sdo arm -o 10.0.0.1 1", added(3, "10.0.0.1 1", "arm")},
        {"lssdo", "{\"mailboxes\":[\"0.0.0.0:" + port(1) + "\",\"[0] 10.0.0.1:1\",\"0.0.0.0:" + port(3) +
                      "\",\"[0] 10.0.0.1:1\"]}\r\n"},
        {"dev hand -d", Expected::destroyed("hand")},
        {"lssdo", "{\"mailboxes\":[\"0.0.0.0:" + port(3) + "\",\"[0] 10.0.0.1:1\"]}\r\n"},  // its mailbox went with it
    });
    EXPECT_TRUE(logged("[INFO ] New sdo mailbox on local: 0.0.0.0:" + port(0))) << server.out();
}

}  // namespace
}  // namespace Quorin_Test
