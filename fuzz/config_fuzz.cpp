// Fuzzes the configuration reader with a file's text. Each line is applied on its own and the
// log it draws is checked against an independent reading of the file's rules: a known key with a
// valid value is stored and logged as loaded; a value out of its range is logged as invalid or
// as a parse error and the key keeps its previous value; a value that is no number, or no
// address, is a parse error naming the line; every other line draws nothing. Reading the whole
// text at once must end in the same settings.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

#include <boost/asio/ip/address.hpp>

#include "server/Server_Config.hpp"
#include "utility/Logger.hpp"

namespace {

using Quorin_Core::Server_Config;
using Quorin_Core::Utility::Address_Range;

std::ostringstream log_text;

[[noreturn]] void fail(const std::string& what, const std::string& line, const std::string& log) {
    std::fprintf(stderr, "%s\n--- line:\n%s\n--- log:\n%s---\n", what.c_str(), line.c_str(), log.c_str());
    std::abort();
}

std::string trim(const std::string& text) {
    const char* const blanks = " \n\r\t";
    const auto first = text.find_first_not_of(blanks);
    return first == std::string::npos ? std::string() : text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

/// A decimal int at the start of `text` (white space, a sign, digits; the rest ignored); empty
/// when there is none or it does not fit an int.
std::optional<int> leading_int(const std::string& text) {
    std::size_t at = text.find_first_not_of(" \t\n\v\f\r");
    if (at == std::string::npos) return std::nullopt;
    const bool negative = text[at] == '-';
    if (text[at] == '-' || text[at] == '+') ++at;
    long long magnitude = 0;
    std::size_t digits = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
        magnitude = magnitude * 10 + (text[at] - '0');
        if (magnitude > 2147483648LL) return std::nullopt;
    }
    if (digits == 0 || magnitude > 2147483647LL + (negative ? 1 : 0)) return std::nullopt;
    return static_cast<int>(negative ? -magnitude : magnitude);
}

std::string ranges_text(const std::vector<Address_Range>& ranges) {
    std::string text;
    for (const auto& range : ranges) text += (text.empty() ? "" : ", ") + range.to_string();
    return text;
}

bool same(const Server_Config& a, const Server_Config& b) {
    return a.server.host_ip == b.server.host_ip && a.control_service.port == b.control_service.port &&
           a.control_service.timeout_s == b.control_service.timeout_s && a.control_service.listen_ip == b.control_service.listen_ip &&
           ranges_text(a.control_service.allow) == ranges_text(b.control_service.allow) &&
           a.control_service.idle_s == b.control_service.idle_s && a.sdo_service.port == b.sdo_service.port &&
           a.sdo_service.timeout_s == b.sdo_service.timeout_s && a.pdo_service.port_start == b.pdo_service.port_start &&
           a.pdo_service.timeout_s == b.pdo_service.timeout_s && a.device.baudrate == b.device.baudrate &&
           a.device.realtime_priority == b.device.realtime_priority && a.device.reconnect_ms == b.device.reconnect_ms;
}

/// What one line of the known keys must log, and the settings it must leave.
class Model {
public:
    /// The log line `raw` must draw (level tag included), or empty for none; updates `expected`.
    /// `actual` and `got` are what the reader stored and logged, for the checks that need them.
    std::string apply(const std::string& raw, const Server_Config& actual, const std::string& got) {
        const std::string line = trim(raw);
        if (line.empty() || line.front() == '#') return "";
        if (line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            return "";
        }
        const auto equals = line.find('=');
        if (equals == std::string::npos) return "";
        const std::string key = trim(line.substr(0, equals)), value = trim(line.substr(equals + 1));
        if (value.empty()) return "";
        const std::string parse_error = "[ERROR] Error parsing config line: " + line + " - ";
        if (is(key, "server", "host_ip") || is(key, "control_service", "listen_ip")) return address(key, value, parse_error);
        if (is(key, "control_service", "allow")) return allow(parse_error, actual, got);
        const auto number = leading_int(value);
        if (!known_number(key)) return "";
        if (!number) return parse_error + "stoi";
        return apply_number(key, *number, parse_error);
    }

    Server_Config expected;

private:
    bool is(const std::string& key, const char* in_section, const char* name) const { return section == in_section && key == name; }
    bool known_number(const std::string& key) const {
        return is(key, "control_service", "port") || is(key, "sdo_service", "port_start") || is(key, "pdo_service", "port_start") ||
               is(key, "control_service", "timeout_s") || is(key, "sdo_service", "timeout_s") || is(key, "pdo_service", "timeout_s") ||
               is(key, "device", "baudrate") || is(key, "device", "realtime_priority") || is(key, "device", "reconnect_ms") ||
               is(key, "control_service", "idle_s");
    }

    static std::string port(std::uint16_t& field, int number, const char* name) {
        if (number < 1024 || number > 65535)
            return "[ERROR] Config " + std::string(name) + " [" + std::to_string(number) + "] invalid (should be 1024 - 65535)!";
        field = static_cast<std::uint16_t>(number);
        return "[INFO ] Loaded " + std::string(name) + ": " + std::to_string(number);
    }
    static std::string wide(std::uint64_t& field, int number, const char* name) {
        field = static_cast<std::uint64_t>(static_cast<std::int64_t>(number));
        return "[INFO ] Loaded " + std::string(name) + ": " + std::to_string(field);
    }
    template <typename Field>
    static std::string bounded(Field& field, int number, int lowest, int highest, const char* name, const std::string& range) {
        if (number < lowest || number > highest)
            return "[ERROR] Config " + std::string(name) + " [" + std::to_string(number) + "] invalid (should be " + range + ")!";
        field = static_cast<Field>(number);
        return "[INFO ] Loaded " + std::string(name) + ": " + std::to_string(number);
    }

    std::string apply_number(const std::string& key, int number, const std::string& parse_error) {
        auto& control = expected.control_service;
        if (is(key, "control_service", "port")) return port(control.port, number, "control_service->port");
        if (is(key, "sdo_service", "port_start")) return port(expected.sdo_service.port, number, "sdo_service->port");
        if (is(key, "pdo_service", "port_start")) return port(expected.pdo_service.port_start, number, "pdo_service->port_start");
        if (is(key, "control_service", "timeout_s")) return wide(control.timeout_s, number, "control_service->timeout_s");
        if (is(key, "sdo_service", "timeout_s")) return wide(expected.sdo_service.timeout_s, number, "sdo_service->timeout_s");
        if (is(key, "pdo_service", "timeout_s")) return wide(expected.pdo_service.timeout_s, number, "pdo_service->timeout_s");
        if (is(key, "device", "baudrate")) {
            if (number < 300 || number > 16000000) return parse_error + "baudrate must be between 300 and 16000000";
            expected.device.baudrate = static_cast<std::uint64_t>(number);
            return "[INFO ] Loaded device->baudrate: " + std::to_string(number);
        }
        if (is(key, "device", "realtime_priority"))
            return bounded(expected.device.realtime_priority, number, 0, 1, "device->realtime_priority", "0 or 1");
        if (is(key, "device", "reconnect_ms"))
            return bounded(expected.device.reconnect_ms, number, 0, 3600000, "device->reconnect_ms", "0 - 3600000");
        return bounded(control.idle_s, number, 0, 2147483647, "control_service->idle_s", "0 - 2147483647");
    }

    /// An address is taken as the address library reads it and stored in its canonical form.
    std::string address(const std::string& key, const std::string& value, const std::string& parse_error) {
        const bool host = key == "host_ip";
        std::string& field = host ? expected.server.host_ip : expected.control_service.listen_ip;
        boost::system::error_code error;
        const auto parsed = boost::asio::ip::make_address(value, error);
        if (error) return parse_error + error.message();
        field = parsed.to_string();
        return std::string("[INFO ] Loaded ") + (host ? "server->host_ip: " : "control_service->listen_ip: ") + field;
    }

    /// A list is taken whole or not at all: a parse error leaves the previous one; a list that is
    /// loaded is not empty and reads back as itself.
    std::string allow(const std::string& parse_error, const Server_Config& actual, const std::string& got) {
        if (got.starts_with(parse_error)) return got;
        const auto& stored = actual.control_service.allow;
        const std::string text = ranges_text(stored);
        if (stored.empty() || ranges_text(Address_Range::parse_list(text)) != text)
            fail("an allow list that does not read back as itself: " + text, got, "");
        expected.control_service.allow = stored;
        return "[INFO ] Loaded control_service->allow: " + text;
    }

    std::string section;
};

/// The log line without its time stamp, or the whole text when it is not one line.
std::string logged_line(const std::string& log) {
    const auto stamp_end = log.find("] ");
    if (log.empty() || log.back() != '\n' || log.find('\n') != log.size() - 1 || stamp_end == std::string::npos) return log;
    return log.substr(stamp_end + 2, log.size() - stamp_end - 3);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Quorin_Core::Utility::Logger::instance().out = &log_text;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Server_Config config;
    Model model;
    std::string section;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        log_text.str("");
        config.parse_line(line, section);
        const std::string log = log_text.str();
        const std::string got = logged_line(log);
        const std::string expected = model.apply(line, config, got);
        const bool error_line = expected.starts_with("[ERROR] Error parsing config line: ");
        if (error_line ? !got.starts_with(expected) || got.find('\n') != std::string::npos : got != expected)
            fail("logged [" + got + "], expected [" + expected + "]", line, log);
        if (!same(config, model.expected)) fail("settings differ from the file's rules", line, log);
    }
    log_text.str("");
    std::istringstream whole(text);
    Server_Config at_once;
    at_once.parse(whole);
    if (!same(at_once, config)) fail("reading the text at once ends elsewhere", text, log_text.str());
    return 0;
}
