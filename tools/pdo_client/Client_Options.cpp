#include "tools/pdo_client/Client_Options.hpp"

#include <cctype>
#include <charconv>
#include <cmath>
#include <functional>
#include <map>

namespace Quorin_Tools::PDO_Client {
namespace {

constexpr unsigned highest_port = 65535;
constexpr double max_rate_hz = 10000.0;

bool parse_port(const std::string& text, std::uint16_t& port) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > highest_port) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool parse_number(const std::string& text, double maximum, double& value) {
    try {
        std::size_t used = 0;
        const double parsed = std::stod(text, &used);
        if (used != text.size() || !std::isfinite(parsed) || parsed < 0 || parsed > maximum) return false;
        value = parsed;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool parse_count(const std::string& text, std::uint64_t& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

using Setter = std::function<bool(Client_Options&, const std::string&)>;

/// Each option that takes a value, and how it is stored; false for a bad value.
const std::map<std::string, Setter>& valued_options() {
    static const std::map<std::string, Setter> options{
        {"--port", [](Client_Options& o, const std::string& v) { return parse_port(v, o.local_port); }},
        {"--bind", [](Client_Options& o, const std::string& v) { return !(o.local_address = v).empty(); }},
        {"--data",
         [](Client_Options& o, const std::string& v) {
             return parse_hex(v, o.data) && !o.data.empty() && o.data.size() <= Client_Options::max_rpdo_bytes;
         }},
        {"--rate", [](Client_Options& o, const std::string& v) { return parse_number(v, max_rate_hz, o.rate_hz); }},
        {"--count", [](Client_Options& o, const std::string& v) { return parse_count(v, o.count); }},
        {"--duration", [](Client_Options& o, const std::string& v) { return parse_number(v, 1e9, o.duration_s); }},
    };
    return options;
}

void take_positionals(Client_Options& options, const std::vector<std::string>& positionals) {
    if (positionals.size() != 2) {
        options.error = "expected <server-address> <channel-port>";
        return;
    }
    options.server_address = positionals[0];
    if (!parse_port(positionals[1], options.channel_port)) options.error = "bad channel port: " + positionals[1];
}

}  // namespace

bool parse_hex(const std::string& text, std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint8_t> parsed;
    int high = -1;
    for (const char c : text) {
        if (c == ' ' || c == ':' || c == ',') {
            if (high >= 0) return false;  // a byte cut in half
            continue;
        }
        const int digit = hex_digit(c);
        if (digit < 0) return false;
        if (high < 0) {
            high = digit;
        } else {
            parsed.push_back(static_cast<std::uint8_t>(high * 16 + digit));
            high = -1;
        }
    }
    if (high >= 0) return false;
    bytes = std::move(parsed);
    return true;
}

Client_Options Client_Options::parse(int argc, const char* const argv[]) {
    Client_Options options;
    std::vector<std::string> positionals;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--counter") {
            options.counter = true;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (const auto found = valued_options().find(arg); found != valued_options().end()) {
            if (i + 1 >= argc) {
                if (options.error.empty()) options.error = arg + " needs a value";
            } else if (!found->second(options, argv[++i]) && options.error.empty()) {
                options.error = "bad value for " + arg + ": " + argv[i];
            }
        } else if (arg.starts_with("-") && arg.size() > 1) {
            if (options.error.empty()) options.error = "unknown option " + arg;
        } else {
            positionals.push_back(arg);
        }
    }
    if (options.error.empty()) take_positionals(options, positionals);
    if (options.error.empty() && options.counter && options.data.size() + 4 > max_rpdo_bytes)
        options.error = "--counter leaves room for 1000 data bytes";
    return options;
}

void Client_Options::print_help(std::ostream& out) {
    out << R"(Usage: quorin-pdo-client [options] <server-address> <channel-port>

Sends process data (RPDO) to a device's PDO channel on a Quorin server and prints
every TPDO datagram that comes back. A channel talks to one client endpoint only,
so open it for this client's address and port first, then enable the cycle:
    pdo <device> -o <client-address> <client-port>    (answers with <channel-port>)
    pdo <device> -e

Options:
  --port N       local UDP port to send from and receive on; must be the
                 <client-port> given to "pdo -o" (default 9000)
  --bind ADDR    local address to bind (default 0.0.0.0)
  --data HEX     RPDO bytes as hex digits, blanks allowed: "01 02 ff"
                 (1 to 1004 bytes, default 00)
  --counter      put a 4-byte little-endian send counter before the data, so
                 that each TPDO shows which RPDO the device had last
  --rate HZ      RPDO datagrams per second (default 10); 0 sends one only
  --count N      stop after N TPDO datagrams
  --duration S   stop after S seconds
  --quiet        print no datagram, only the summary
  -h, --help     show this text

Output: one line per TPDO datagram, "<seconds since start> <size> B: <hex>"
(the first 32 bytes), then a summary line. Ctrl-C stops.

Exit status: 0; 1 when the socket cannot be bound or the server address is
bad; 2 for a bad command line.
)";
}

}  // namespace Quorin_Tools::PDO_Client
