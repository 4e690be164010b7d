#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "support/Pty_Pair.hpp"
#include "support/Udp_Client.hpp"
#include "system/Device_Harness.hpp"

namespace Quorin_Test {
namespace {

const std::string sdo_usage =
    "USAGE: sdo <name> <option> <param>\n"
    "        -o <ip, port>: add a sdo link to mailbox\n"
    "        -c <ip, port / id>: remove a sdo link from mailbox\n"
    "        sdo -c: remove all sdo mailboxes on all devices";
const std::string sdo_wrong_format = sdo_usage + "\r\n>-WRONG FORMAT\r\n";
const std::string sdo_overrange_tail = "SDO operations.\r\n" + sdo_usage + "\r\n>-OVERRANGE\r\n";
const std::string lssdo_wrong_format = "USAGE: lssdo\r\n>-WRONG FORMAT\r\n";
const std::string no_mailboxes = "{\"mailboxes\":[]}\r\n";

/// Devices "hand" and "arm" bound to ptys (their sessions never start: the commands need no
/// device that answers).
class SDO_Command : public Device_Server_Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ask("bind hand " + hand_pty.port_path()), Expected::bound("hand", hand_pty.port_path()));
        ASSERT_EQ(ask("bind arm " + arm_pty.port_path()), Expected::bound("arm", arm_pty.port_path()));
    }

    std::string port(unsigned offset) const { return std::to_string(ports.sdo + offset); }

    Pty_Pair hand_pty;
    Pty_Pair arm_pty;
};

TEST_F(SDO_Command, links_are_added_listed_and_removed_by_epid_by_endpoint_and_all_at_once) {
    EXPECT_EQ(ask("sdo hand -o 192.168.1.10 9000"),
              "OK add sdo link: server 0.0.0.0 " + port(0) + " client 192.168.1.10 9000 on [hand]\r\n");
    EXPECT_TRUE(logged("[INFO ] New sdo mailbox on local: 0.0.0.0:" + port(0))) << server.out();
    EXPECT_EQ(ask("sdo hand -o 192.168.1.10 9000"), "FAILED to add sdo link on [hand]\r\n>-FAILED\r\n");
    EXPECT_EQ(ask("sdo hand -o 10.0.0.2 09001"),
              "OK add sdo link: server 0.0.0.0 " + port(0) + " client 10.0.0.2 09001 on [hand]\r\n")
        << "the parameters are echoed as typed";
    EXPECT_EQ(ask("lssdo"), "{\"mailboxes\":[\"0.0.0.0:" + port(0) +
                                    "\",\"[0] 192.168.1.10:9000\",\"[1] 10.0.0.2:9001\"]}\r\n");
    EXPECT_EQ(ask("lssdo hand"), "{\"mailboxes\":[\"[0] 192.168.1.10:9000\",\"[1] 10.0.0.2:9001\"]}\r\n");

    EXPECT_EQ(ask("sdo hand -c 0"), "OK removed sdo link on [hand]\r\n");
    EXPECT_EQ(ask("sdo hand -c 0"), "FAILED to find EPID 0 on [hand]\r\n>-FAILED\r\n");
    EXPECT_EQ(ask("sdo hand -c 300"), "value must be between 0 and 255\r\n" + sdo_overrange_tail);
    EXPECT_EQ(ask("sdo hand -c 10.0.0.2 9001"), "OK removed sdo link on [hand]\r\n");
    EXPECT_EQ(ask("sdo hand -c 10.0.0.2 9001"), "FAILED to remove sdo link on [hand]\r\n>-FAILED\r\n");

    EXPECT_EQ(ask("sdo hand -o 10.0.0.3 1"), "OK add sdo link: server 0.0.0.0 " + port(0) + " client 10.0.0.3 1 on [hand]\r\n");
    EXPECT_EQ(ask("sdo hand -o 10.0.0.4 1"), "OK add sdo link: server 0.0.0.0 " + port(0) + " client 10.0.0.4 1 on [hand]\r\n");
    EXPECT_EQ(ask("lssdo hand"), "{\"mailboxes\":[\"[0] 10.0.0.4:1\",\"[1] 10.0.0.3:1\"]}\r\n")
        << "the EPID freed last (1, then 0) is handed out first";
    EXPECT_EQ(ask("sdo hand -c"), "OK removed all sdo links on [hand].\r\n");
    EXPECT_EQ(ask("lssdo hand"), no_mailboxes) << "an empty link list is still an answer";
    EXPECT_EQ(ask("sdo hand -o 10.0.0.5 1"), "OK add sdo link: server 0.0.0.0 " + port(0) + " client 10.0.0.5 1 on [hand]\r\n");
    EXPECT_EQ(ask("lssdo hand"), "{\"mailboxes\":[\"[0] 10.0.0.5:1\"]}\r\n") << "after -c EPIDs start from 0";
}

TEST_F(SDO_Command, missing_devices_and_mailboxes_and_wrong_forms) {
    EXPECT_EQ(ask("sdo arm -c"), "FAILED to find sdo mailbox on [arm]\r\n>-FAILED\r\n");
    EXPECT_EQ(ask("sdo arm -c 1"), "FAILED to find sdo mailbox on [arm]\r\n>-FAILED\r\n");
    EXPECT_EQ(ask("lssdo arm"), "FAILED to find sdo mailbox on [arm]\r\n>-FAILED\r\n");
    EXPECT_EQ(ask("lssdo leg"), "FAILED to find device [leg]\r\n>-FAILED\r\n");
    EXPECT_EQ(ask("sdo leg -o 1.2.3.4 5"), "FAILED to find device [leg]\r\n>-FAILED\r\n");
    EXPECT_EQ(ask("sdo leg -x"), "FAILED to find device [leg]\r\n>-FAILED\r\n");
    EXPECT_EQ(ask("lssdo"), no_mailboxes);
    EXPECT_EQ(ask("sdo -c"), "OK removed all sdo mailboxes\r\n") << "also when there is none";
    EXPECT_THAT(ask("sdo arm -o 1.2.3.999 5"), ::testing::EndsWith("\r\n" + sdo_wrong_format));
    EXPECT_EQ(ask("lssdo"), no_mailboxes) << "a mistyped endpoint opens no mailbox";

    EXPECT_THAT(ask("sdo hand -o 10.0.0.1 1"), ::testing::StartsWith("OK add sdo link"));
    for (const char* line : {"sdo", "sdo hand", "sdo -o", "sdo hand -x", "sdo hand -o 1.2.3.4", "sdo hand -o 1.2.3.4 5 6",
                             "sdo hand -c 1.2.3.4 5 6"})
        EXPECT_EQ(ask(line), sdo_wrong_format) << line;
    EXPECT_EQ(ask("sdo hand -o 1.2.3.4 x"), "stoi\r\n" + sdo_wrong_format);
    EXPECT_EQ(ask("sdo hand -c abc"), "stoi\r\n" + sdo_wrong_format);
    EXPECT_EQ(ask("sdo hand -o 1.2.3.4 70000"), "port must be <0-65535>\r\n" + sdo_overrange_tail);
    EXPECT_EQ(ask("sdo hand -o 1.2.3.4 -1"), "port must be <0-65535>\r\n" + sdo_overrange_tail);
    EXPECT_EQ(ask("sdo hand -c -1"), "value must be between 0 and 255\r\n" + sdo_overrange_tail);
    EXPECT_THAT(ask("sdo hand -o 1.2.3.999 5"), ::testing::EndsWith("\r\n" + sdo_wrong_format));
    EXPECT_EQ(ask("sdo -h"), "SDO operations.\r\n" + sdo_usage + "\r\n");
    EXPECT_EQ(ask("lssdo -x"), lssdo_wrong_format);
    EXPECT_EQ(ask("lssdo hand -x"), lssdo_wrong_format);
}

TEST_F(SDO_Command, mailbox_ports_count_up_and_are_never_given_back) {
    EXPECT_THAT(ask("sdo hand -o 10.0.0.1 1"), ::testing::HasSubstr(" " + port(0) + " "));
    EXPECT_EQ(ask("sdo -c"), "OK removed all sdo mailboxes\r\n");
    EXPECT_EQ(ask("lssdo"), no_mailboxes);
    EXPECT_THAT(ask("sdo hand -o 10.0.0.1 1"), ::testing::HasSubstr(" " + port(1) + " "));

    const Udp_Client taken(static_cast<std::uint16_t>(ports.sdo + 2));
    EXPECT_EQ(ask("sdo arm -o 10.0.0.1 1"), "Error binding sdo mailbox on port " + port(2) +
                                                    ": Address already in use\r\nSDO operations.\r\n" + sdo_usage +
                                                    "\r\n>-EXCEPTION\r\n");
    EXPECT_THAT(ask("sdo arm -o 10.0.0.1 1"), ::testing::HasSubstr(" " + port(3) + " "));
    EXPECT_EQ(ask("lssdo"), "{\"mailboxes\":[\"0.0.0.0:" + port(1) + "\",\"[0] 10.0.0.1:1\",\"0.0.0.0:" + port(3) +
                                    "\",\"[0] 10.0.0.1:1\"]}\r\n");

    EXPECT_EQ(ask("dev hand -d"), "OK destroyed device [hand]\r\n");
    EXPECT_EQ(ask("lssdo"), "{\"mailboxes\":[\"0.0.0.0:" + port(3) + "\",\"[0] 10.0.0.1:1\"]}\r\n")
        << "deleting a device removes its mailbox";
}

}  // namespace
}  // namespace Quorin_Test
