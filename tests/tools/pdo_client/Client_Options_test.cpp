#include "tools/pdo_client/Client_Options.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Quorin_Tools::PDO_Client::Client_Options;
using Quorin_Tools::PDO_Client::parse_hex;
using Bytes = std::vector<std::uint8_t>;

Client_Options parse(std::vector<const char*> args) {
    args.insert(args.begin(), "quorin-pdo-client");
    return Client_Options::parse(static_cast<int>(args.size()), args.data());
}

TEST(Client_Options, a_full_line_sets_every_field) {
    const auto options = parse({"--port", "9100", "--data", "01 02 ff", "--counter", "--rate", "250", "--count",
                                "40", "--duration", "2.5", "--quiet", "10.0.0.7", "20000"});
    EXPECT_EQ(options.error, "");
    EXPECT_EQ(options.server_address, "10.0.0.7");
    EXPECT_EQ(options.channel_port, 20000);
    EXPECT_EQ(options.local_port, 9100);
    EXPECT_EQ(options.data, (Bytes{0x01, 0x02, 0xFF}));
    EXPECT_TRUE(options.counter);
    EXPECT_EQ(options.rate_hz, 250.0);
    EXPECT_EQ(options.count, 40u);
    EXPECT_EQ(options.duration_s, 2.5);
    EXPECT_TRUE(options.quiet);
}

TEST(Client_Options, bad_lines_name_their_first_fault_and_help_wins) {
    EXPECT_EQ(parse({"127.0.0.1"}).error, "expected <server-address> <channel-port>");
    EXPECT_EQ(parse({"127.0.0.1", "0"}).error, "bad channel port: 0");
    EXPECT_EQ(parse({"--port", "70000", "127.0.0.1", "20000"}).error, "bad value for --port: 70000");
    EXPECT_EQ(parse({"--rate", "nan", "127.0.0.1", "20000"}).error, "bad value for --rate: nan");
    EXPECT_EQ(parse({"--data", "", "127.0.0.1", "20000"}).error, "bad value for --data: ");
    EXPECT_EQ(parse({"--frob", "--port"}).error, "unknown option --frob");
    EXPECT_EQ(parse({"127.0.0.1", "20000", "--count"}).error, "--count needs a value");
    EXPECT_TRUE(parse({"--frob", "-h"}).help);
}

TEST(Client_Options, hex_takes_separated_or_packed_bytes_and_refuses_half_bytes) {
    Bytes bytes;
    EXPECT_TRUE(parse_hex("0a:0B,ff 10", bytes));
    EXPECT_EQ(bytes, (Bytes{0x0A, 0x0B, 0xFF, 0x10}));
    EXPECT_TRUE(parse_hex("0102", bytes));
    EXPECT_EQ(bytes, (Bytes{1, 2}));
    EXPECT_FALSE(parse_hex("1 02", bytes));
    EXPECT_FALSE(parse_hex("012", bytes));
    EXPECT_FALSE(parse_hex("0g", bytes));
    EXPECT_EQ(bytes, (Bytes{1, 2})) << "a refused text leaves the bytes as they were";
}

}  // namespace
