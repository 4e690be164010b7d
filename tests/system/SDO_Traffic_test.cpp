#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/Log_Lines.hpp"
#include "support/Udp_Client.hpp"
#include "system/Device_Harness.hpp"

namespace Quorin_Test {
namespace {

using Datagram = Udp_Client::Bytes;

constexpr std::uint32_t line_baud = 4000000;
constexpr std::size_t epid_offset = 4;
constexpr auto answer_deadline = std::chrono::seconds(10);
constexpr int valid_attempts = 5;
/// How long a client waits for an answer before it sends its next request.
constexpr auto answer_wait = std::chrono::milliseconds(20);
/// Long enough for answers in flight to arrive, to show that no more come after them.
constexpr auto settle = std::chrono::milliseconds(150);

/// The answer the simulator gives to `request` sent by the client of `epid`: the request, with
/// the EPID the server wrote into byte 4.
Datagram echo(Datagram request, std::uint8_t epid) {
    request[epid_offset] = epid;
    return request;
}

/// A client linked with a known EPID that remembers the answers it is owed: every answer it
/// receives must be the echo of one of its own requests.
class Linked_Client {
public:
    Linked_Client(std::uint16_t mailbox_port, std::uint8_t epid) : mailbox_port(mailbox_port), epid(epid) {}

    Udp_Client& udp() { return client; }
    std::uint16_t port() const { return client.port(); }

    /// Sends request `sequence` and notes its echo as owed.
    bool send(std::uint32_t sequence) {
        const Datagram request = Udp_Client::sdo_request(sequence);
        owed.insert(echo(request, epid));
        return client.send_to(mailbox_port, request);
    }
    /// Receives until the answers to all of `sequences` have come, checking that each answer is
    /// owed and comes once. False on a deadline.
    bool receive_answers(const std::vector<std::uint32_t>& sequences) {
        std::set<Datagram> wanted;
        for (const auto sequence : sequences) wanted.insert(echo(Udp_Client::sdo_request(sequence), epid));
        const auto deadline = std::chrono::steady_clock::now() + answer_deadline;
        while (!wanted.empty() && std::chrono::steady_clock::now() < deadline) {
            const auto answer = client.receive(std::chrono::milliseconds(100));
            if (!answer) continue;
            EXPECT_EQ(owed.erase(*answer), 1u) << "an answer that is not owed to the client of EPID " << int(epid);
            wanted.erase(*answer);
        }
        return wanted.empty();
    }
    /// One request and its answer.
    bool round_trip(std::uint32_t sequence) { return send(sequence) && receive_answers({sequence}); }

private:
    Udp_Client client;
    std::uint16_t mailbox_port;
    std::uint8_t epid;
    std::set<Datagram> owed;
};

/// Clients that each send a request and wait briefly for its answer, over and over, on their
/// own threads, counting the answers; they stop when the object goes.
class Busy_Clients {
public:
    Busy_Clients(std::vector<Udp_Client*> clients, std::uint16_t mailbox_port) : answered(clients.size()) {
        for (std::size_t i = 0; i < clients.size(); ++i) {
            threads.emplace_back([this, i, client = clients[i], mailbox_port] {
                for (std::uint32_t sequence = 0; running; ++sequence) {
                    client->send_to(mailbox_port, Udp_Client::sdo_request(sequence));
                    if (client->receive(answer_wait)) ++answered[i];
                }
            });
        }
    }
    ~Busy_Clients() {
        running = false;
        for (auto& thread : threads) thread.join();
    }
    std::uint64_t total() const {
        std::uint64_t sum = 0;
        for (const auto& count : answered) sum += count;
        return sum;
    }
    /// True when no answer comes once those already on their way have arrived.
    bool answers_stopped() const {
        std::this_thread::sleep_for(settle);
        const auto before = total();
        std::this_thread::sleep_for(settle);
        return total() == before;
    }
    /// Waits until every client has had at least `count` answers.
    bool each_answered(std::uint64_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (const auto& answers : answered) {
            while (answers < count) {
                if (std::chrono::steady_clock::now() >= deadline) return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return true;
    }

private:
    std::atomic<bool> running{true};
    std::vector<std::atomic<std::uint64_t>> answered;
    std::vector<std::thread> threads;
};

/// Device "hand" bound to a simulated device on a paced line that echoes every SDO message, its
/// session started.
class SDO_Traffic : public Device_Server_Test {
protected:
    void SetUp() override {
        Quorin_Tools::Devsim::Config config;
        config.baud = line_baud;
        simulator = &add_device("hand", config);
    }

    /// A new client, linked to hand's mailbox on `mailbox_port`, expected to get `epid`.
    std::unique_ptr<Linked_Client> linked_client(std::uint8_t epid, std::uint16_t mailbox_port = 0) {
        if (mailbox_port == 0) mailbox_port = ports.sdo;
        auto client = std::make_unique<Linked_Client>(mailbox_port, epid);
        const std::string port = std::to_string(client->port());
        EXPECT_EQ(ask("sdo hand -o 127.0.0.1 " + port),
                  "OK add sdo link: server 0.0.0.0 " + std::to_string(mailbox_port) + " client 127.0.0.1 " + port +
                      " on [hand]\r\n");
        return client;
    }

    /// `count` new clients linked to hand's mailbox, with EPIDs 0, 1, ...
    std::vector<std::unique_ptr<Linked_Client>> linked_clients(std::uint8_t count) {
        std::vector<std::unique_ptr<Linked_Client>> clients;
        for (std::uint8_t epid = 0; epid < count; ++epid) clients.push_back(linked_client(epid));
        return clients;
    }
    static std::vector<Udp_Client*> sockets(const std::vector<std::unique_ptr<Linked_Client>>& clients) {
        std::vector<Udp_Client*> all;
        for (const auto& client : clients) all.push_back(&client->udp());
        return all;
    }

    Device_Simulator* simulator = nullptr;
};

// The order in which freed EPIDs are handed out again is checked by the sdo command's tests.
TEST_F(SDO_Traffic, each_client_gets_only_its_own_answers_and_unlinked_clients_none) {
    const auto clients = linked_clients(3);
    EXPECT_EQ(ask("lssdo hand"), "{\"mailboxes\":[\"[0] 127.0.0.1:" + std::to_string(clients[0]->port()) +
                                         "\",\"[1] 127.0.0.1:" + std::to_string(clients[1]->port()) +
                                         "\",\"[2] 127.0.0.1:" + std::to_string(clients[2]->port()) + "\"]}\r\n");

    // All requests go out before any answer is read: they share the device's frames.
    constexpr std::uint32_t rounds = 20;
    std::vector<std::uint32_t> sequences;
    for (std::uint32_t round = 0; round < rounds; ++round) sequences.push_back(round);
    for (const auto sequence : sequences)
        for (auto& client : clients) ASSERT_TRUE(client->send(sequence));
    for (std::size_t i = 0; i < clients.size(); ++i) EXPECT_TRUE(clients[i]->receive_answers(sequences)) << i;

    // Unlinked by EPID or by endpoint, a client's requests are dropped; the others go on.
    EXPECT_EQ(ask("sdo hand -c 1"), "OK removed sdo link on [hand]\r\n");
    EXPECT_EQ(ask("sdo hand -c 127.0.0.1 " + std::to_string(clients[0]->port())), "OK removed sdo link on [hand]\r\n");
    for (int i : {0, 1}) ASSERT_TRUE(clients[i]->send(200));
    EXPECT_TRUE(clients[2]->round_trip(102)) << "the line moves on";
    EXPECT_TRUE(clients[0]->udp().receive_for(settle).empty()) << "an unlinked client's requests are dropped";
    EXPECT_TRUE(clients[1]->udp().receive_for(std::chrono::milliseconds(1)).empty());
}

TEST_F(SDO_Traffic, malformed_and_unlinked_datagrams_never_reach_the_device) {
    auto client = linked_client(0);
    Udp_Client stranger;
    const std::vector<Datagram> dropped{
        Udp_Client::sdo_request(1, 5),        Udp_Client::sdo_request(2, 6, 0xF1), Udp_Client::sdo_request(3, 6, 0x5F),
        Udp_Client::sdo_request(4, 6, 0xF0), Udp_Client::sdo_request(5, 7),       Udp_Client::sdo_request(6, 1100),
    };
    for (const Datagram& datagram : dropped) ASSERT_TRUE(client->udp().send_to(ports.sdo, datagram));
    ASSERT_TRUE(stranger.send_to(ports.sdo, Udp_Client::sdo_request(7)));
    // Valid requests carry 0xEE in byte 4; their answers must carry the EPID instead. Another
    // one goes out while no answer has come (an answer may wait on the line for the next exchange).
    int valid_sent = 0;
    std::optional<Datagram> answer;
    for (; valid_sent < valid_attempts && !answer; ++valid_sent) {
        ASSERT_TRUE(client->udp().send_to(ports.sdo, Udp_Client::sdo_request(100 + valid_sent, 6, 0x61, 0xEE)));
        answer = client->udp().receive(std::chrono::seconds(1));
    }
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)[0], 0x61);
    EXPECT_GE(Udp_Client::sequence_of(*answer), 100u) << "the first answer is a valid request's";
    EXPECT_EQ((*answer)[epid_offset], 0) << "byte 4 replaced by the EPID";
    EXPECT_TRUE(stranger.receive_for(settle).empty());
    const auto seen = simulator->counters();
    EXPECT_EQ(seen.sdo_messages, static_cast<std::uint64_t>(valid_sent)) << "only valid requests reached the device";
    EXPECT_EQ(seen.sdo_unparsed, 0u);
}

TEST_F(SDO_Traffic, a_mailbox_holds_256_links_and_reuses_a_freed_epid) {
    std::string batch;
    for (unsigned n = 0; n < 256; ++n) batch += "sdo hand -o 10.0." + std::to_string(n / 250) + "." + std::to_string(n % 250 + 1) + " 7\n";
    ASSERT_TRUE(client.send(batch));
    std::string replies;
    const auto count_ok = [&] {
        std::size_t ok = 0;
        for (auto at = replies.find("OK add sdo link"); at != std::string::npos; at = replies.find("OK add sdo link", at + 1)) ++ok;
        return ok;
    };
    while (count_ok() < 256) {
        const auto more = client.receive_until("\r\n");
        ASSERT_TRUE(more) << replies;
        replies += *more;
    }
    EXPECT_EQ(replies.find("FAILED"), std::string::npos);
    EXPECT_EQ(ask("sdo hand -o 10.9.9.9 7"), "FAILED to add sdo link on [hand]\r\n>-FAILED\r\n");
    const std::string listing = ask("lssdo hand");
    EXPECT_THAT(listing, ::testing::HasSubstr("\"[0] 10.0.0.1:7\""));
    EXPECT_THAT(listing, ::testing::EndsWith("\"[255] 10.0.1.6:7\"]}\r\n"));

    EXPECT_EQ(ask("sdo hand -c 200"), "OK removed sdo link on [hand]\r\n");
    EXPECT_TRUE(linked_client(200)->round_trip(1));
}

TEST_F(SDO_Traffic, removing_all_links_or_all_mailboxes_stops_the_answers_and_ports_keep_counting) {
    const auto clients = linked_clients(3);
    {
        Busy_Clients busy(sockets(clients), ports.sdo);
        ASSERT_TRUE(busy.each_answered(5));
        EXPECT_EQ(ask("sdo hand -c"), "OK removed all sdo links on [hand].\r\n");
        EXPECT_TRUE(busy.answers_stopped()) << "answers after the links were removed";
    }
    // EPID 0 again: answers still owed to the old client of EPID 0 must not reach the new one.
    const auto relinked = linked_client(0);
    EXPECT_TRUE(relinked->round_trip(1));
    {
        Busy_Clients busy({&relinked->udp()}, ports.sdo);
        ASSERT_TRUE(busy.each_answered(5));
        EXPECT_EQ(ask("sdo -c"), "OK removed all sdo mailboxes\r\n");
        EXPECT_EQ(ask("lssdo"), "{\"mailboxes\":[]}\r\n");
        EXPECT_TRUE(busy.answers_stopped()) << "answers after the mailbox was removed";
    }
    // The new mailbox is on the next port, and its EPID 0 gets nothing left over for the old one's.
    EXPECT_TRUE(linked_client(0, static_cast<std::uint16_t>(ports.sdo + 1))->round_trip(2));
}

TEST_F(SDO_Traffic, sixteen_clients_keep_getting_answers_with_pdo_at_500_hz) {
    // 1 ms windows between the PDO events: every frame must be sent in a window that can carry
    // it, and none may wait for a window that never comes.
    Udp_Client pdo_client;
    ASSERT_EQ(ask("pdo hand -o " + pdo_client.endpoint_args()).rfind("OK", 0), 0u);
    ASSERT_EQ(ask("pdo hand -f 500"), "OK set pdo freq 500.000000 Hz on [hand]\r\n");
    ASSERT_EQ(ask("pdo hand -e"), "OK enabled pdo transmission on [hand]\r\n");
    const auto clients = linked_clients(16);
    Busy_Clients busy(sockets(clients), ports.sdo);
    EXPECT_TRUE(busy.each_answered(50)) << busy.total() << " answers in all";
    EXPECT_GT(simulator->counters().tpdo_requests, 0u);
}

#ifdef QUORIN_SDO_CLIENT_BINARY
TEST_F(SDO_Traffic, the_example_client_links_gets_its_answer_and_unlinks) {
    const std::string command = std::string(QUORIN_SDO_CLIENT_BINARY) + " --control-port " +
                                std::to_string(ports.control) + " hand 7b 01 02 03 ee 00 03 aa bb cc 2>&1";
    std::string output;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char chunk[256];
        while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) output += chunk;
        EXPECT_EQ(::pclose(pipe), 0) << output;
    }
    EXPECT_NE(output.find("request (10 bytes): 7b 01 02 03 ee 00 03 aa bb cc\n"), std::string::npos) << output;
    EXPECT_NE(output.find("answer (10 bytes, EPID 0): 7b 01 02 03 00 00 03 aa bb cc\n"), std::string::npos) << output;
    EXPECT_EQ(ask("lssdo"), "{\"mailboxes\":[\"0.0.0.0:" + std::to_string(ports.sdo) + "\"]}\r\n");
}
#endif

TEST_F(SDO_Traffic, deleting_the_device_while_clients_send_leaves_a_working_server) {
    const auto clients = linked_clients(4);
    {
        Busy_Clients busy(sockets(clients), ports.sdo);
        ASSERT_TRUE(busy.each_answered(5));
        EXPECT_EQ(ask("dev hand -d"), "OK destroyed device [hand]\r\n");
        EXPECT_EQ(ask("lssdo"), "{\"mailboxes\":[]}\r\n");
        EXPECT_TRUE(busy.answers_stopped());
    }
    // The same simulated device, bound again, gets a new mailbox on the next port.
    ASSERT_THAT(ask("bind hand " + simulator->link_path()), ::testing::StartsWith("OK bind device [hand]"));
    ASSERT_EQ(ask("dev hand -o"), "OK opened device [hand]\r\n");
    EXPECT_TRUE(linked_client(0, static_cast<std::uint16_t>(ports.sdo + 1))->round_trip(9));

    server.close_stdin();
    ASSERT_EQ(server.wait_exit(), 0);
    for (const auto& line : log_lines(server.out())) EXPECT_NE(line.tag, "ERROR") << line.message;
    EXPECT_EQ(server.err(), "");
}

TEST_F(SDO_Traffic, shutdown_with_open_mailboxes_and_busy_clients_keeps_its_order) {
    const auto clients = linked_clients(3);
    Busy_Clients busy(sockets(clients), ports.sdo);
    ASSERT_TRUE(busy.each_answered(5));

    server.close_stdin();
    ASSERT_EQ(server.wait_exit(), 0);
    const auto lines = log_lines(server.out());
    const auto session_stopped = find_message_starting(lines, "Session stopped on [");
    const auto sdo_stopping = find_message(lines, "SDO Service stopping...!");
    const auto sdo_stopped = find_message(lines, "SDO Service stopped!");
    ASSERT_TRUE(session_stopped && sdo_stopping && sdo_stopped) << server.out();
    EXPECT_LT(*session_stopped, *find_message(lines, "Control Service stopping...!"));
    EXPECT_LT(*sdo_stopping, *sdo_stopped);
    EXPECT_EQ(*sdo_stopped, lines.size() - 1) << "the last line";
    for (const auto& line : lines) EXPECT_NE(line.tag, "ERROR") << line.message;
    EXPECT_EQ(server.err(), "");
}

}  // namespace
}  // namespace Quorin_Test
