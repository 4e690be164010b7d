#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace Quorin_Tools::PDO_Client {

/// What the example PDO client's command line asks for.
struct Client_Options {
    static constexpr int exit_usage = 2;    ///< exit status for a bad command line
    static constexpr int exit_failure = 1;  ///< exit status when the socket cannot be set up
    static constexpr std::uint16_t default_local_port = 9000;
    static constexpr double default_rate_hz = 10.0;
    static constexpr std::size_t max_rpdo_bytes = 1004;  ///< most a channel hands to the device

    std::string server_address;             ///< where the PDO channel is
    std::uint16_t channel_port = 0;         ///< the channel's port, as "pdo -o" answered
    std::string local_address = "0.0.0.0";  ///< the address to receive on
    std::uint16_t local_port = default_local_port;  ///< must be the client port given to "pdo -o"
    std::vector<std::uint8_t> data{0x00};   ///< the RPDO bytes
    bool counter = false;                   ///< a 4-byte little-endian send counter leads the data
    double rate_hz = default_rate_hz;       ///< RPDO datagrams per second; 0 = one only
    std::uint64_t count = 0;                ///< stop after this many TPDO datagrams; 0 = no limit
    double duration_s = 0.0;                ///< stop after this many seconds; 0 = no limit
    bool quiet = false;                     ///< only the summary

    bool help = false;   ///< --help was given
    std::string error;   ///< what is wrong with the command line; empty when nothing is

    /// Reads `quorin-pdo-client [options] <server-address> <channel-port>`. Options take their
    /// value as the next argument. --help anywhere wins; otherwise the first error is reported.
    static Client_Options parse(int argc, const char* const argv[]);
    /// Writes the help text.
    static void print_help(std::ostream& out);
};

/// Bytes from hex digits, blanks, ':' and ',' between bytes allowed ("01 02 ff", "0102ff");
/// false for an odd digit count or any other character.
bool parse_hex(const std::string& text, std::vector<std::uint8_t>& bytes);

}  // namespace Quorin_Tools::PDO_Client
