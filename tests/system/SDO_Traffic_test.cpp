#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "system/Device_Harness.hpp"

// SDO requests from UDP clients through the real binary to a simulated device on a paced line
// that echoes every message, and the answers back.
namespace Quorin_Test {
namespace {

/// The device's answer to request `sequence` of the client of `epid`: the request, with the
/// EPID the server wrote into byte 4.
Bytes answer(std::uint32_t sequence, std::uint8_t epid) { return Udp_Client::sdo_request(sequence, 6, 0x61, epid); }

using SDO_Traffic = Device_Server_Test;

TEST_F(SDO_Traffic, sixteen_clients_beside_pdo_at_500_hz_get_their_own_answers) {
    Quorin_Tools::Devsim::Config paced;
    paced.baud = 4000000;
    const Device_Simulator& device = add_device("hand", paced);
    // Windows of 1 ms between the PDO exchanges: each SDO frame must go in one that can carry it.
    Udp_Client pdo_client;
    for (const std::string& line : Lines{"pdo hand -f 500", "pdo hand -o " + pdo_client.endpoint_args(), "pdo hand -e"})
        ASSERT_THAT(ask(line), StartsWith("OK")) << line;
    std::vector<std::unique_ptr<Udp_Client>> clients;
    for (std::uint8_t epid = 0; epid < 16; ++epid) link_sdo(*clients.emplace_back(std::make_unique<Udp_Client>()));

    // All requests go out before any answer is read: they share the device's frames. The device
    // keeps back answers that find no room in an answer frame for its next exchange: while an
    // answer is awaited, the requests of a pump make exchanges.
    constexpr std::uint32_t rounds = 4;
    for (std::uint32_t sequence = 0; sequence < rounds; ++sequence)
        for (std::uint8_t epid = 0; epid < clients.size(); ++epid)
            ASSERT_TRUE(clients[epid]->send_to(ports.sdo, Udp_Client::sdo_request(sequence)));
    Udp_Client pump;
    link_sdo(pump);
    for (std::uint8_t epid = 0; epid < clients.size(); ++epid)
        for (std::uint32_t sequence = 0; sequence < rounds; ++sequence) {
            std::optional<Bytes> got;
            for (int tries = 0; tries < 2000 && !(got = clients[epid]->receive(10ms)); ++tries)
                pump.send_to(ports.sdo, Udp_Client::sdo_request(tries));
            ASSERT_EQ(got, answer(sequence, epid)) << "EPID " << int(epid);
        }
    EXPECT_GT(device.counters().tpdo_requests, 0u);

    // Closed, then deleted, with a burst on its way, its wake-ups pending and answers owed: the
    // server goes on, and the device bound next to the same line, which is then sent the answers
    // the device kept back, hands none of them to its own client (TearDown checks the end).
    const std::uint64_t before = device.counters().sdo_messages;
    for (std::uint32_t sequence = rounds; sequence < 20; ++sequence)
        for (const auto& client : clients) ASSERT_TRUE(client->send_to(ports.sdo, Udp_Client::sdo_request(sequence)));
    ASSERT_TRUE(device.wait_for([&](const auto& seen) { return seen.sdo_messages == before + 256; }, 10s));
    expect_replies({{"dev hand -c", Expected::closed("hand")}, {"dev hand -d", Expected::destroyed("hand")},
                    {"bind hand " + link_of("hand"), Expected::bound("hand", link_of("hand"))},
                    {"dev hand -o", Expected::opened("hand")}});
    Udp_Client next;
    link_sdo(next, "hand", 1);
    ASSERT_TRUE(next.send_to(ports.sdo + 1, Udp_Client::sdo_request(99)));
    const auto got = next.receive(10s);
    ASSERT_TRUE(got && got->size() == 6);
    EXPECT_EQ(*got, answer(99, (*got)[4])) << "an answer owed to the deleted device's client";
}

#ifdef QUORIN_SDO_CLIENT_BINARY
TEST_F(SDO_Traffic, the_example_client_links_gets_its_answer_and_unlinks) {
    add_device("hand");
    const std::string command = std::string(QUORIN_SDO_CLIENT_BINARY) + " --control-port " +
                                std::to_string(ports.control) + " hand 7b 01 02 03 ee 00 03 aa bb cc 2>&1";
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    for (char chunk[256]; std::fgets(chunk, sizeof chunk, pipe) != nullptr;) output += chunk;
    EXPECT_EQ(::pclose(pipe), 0) << output;
    EXPECT_THAT(output, ::testing::HasSubstr("request (10 bytes): 7b 01 02 03 ee 00 03 aa bb cc\n"));
    EXPECT_THAT(output, ::testing::HasSubstr("answer (10 bytes, EPID 0): 7b 01 02 03 00 00 03 aa bb cc\n"));
    EXPECT_EQ(ask("lssdo"), "{\"mailboxes\":[\"0.0.0.0:" + std::to_string(ports.sdo) + "\"]}\r\n");
}
#endif

}  // namespace
}  // namespace Quorin_Test
