#include "server/Server_Config.hpp"

#include <boost/asio/ip/address.hpp>
#include <boost/system/system_error.hpp>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>

#include "utility/Logger.hpp"

namespace Quorin_Core {
namespace {

constexpr const char* trim_characters = " \n\r\t";
constexpr int lowest_port = 1024;
constexpr int highest_port = 65535;
constexpr const char* port_range = "1024 - 65535";
constexpr int max_reconnect_ms = 3'600'000;  // an hour
constexpr int lowest_baudrate = 300;
constexpr int highest_baudrate = 16'000'000;

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(trim_characters);
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(trim_characters);
    return text.substr(first, last - first + 1);
}

}  // namespace

Server_Config::Server_Config(const std::string& file_name) { load(file_name); }

Server_Config Server_Config::from_file(const std::string& path) {
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored))
        throw std::runtime_error("Error: cannot read config file " + path + ": it is a directory");
    std::ifstream file(path);
    if (!file.is_open())
        throw std::runtime_error("Error: cannot read config file " + path + ": " + std::strerror(errno));
    Server_Config config;
    QUORIN_LOG(INFO, "Loading config from: ", path);
    config.parse(file);
    QUORIN_LOG(INFO, "Config loaded from: ", path);
    return config;
}

void Server_Config::load(const std::string& file_name) {
    const std::array<std::string, 3> candidates{"/etc/quorin/" + file_name, "./" + file_name,
                                                "../" + file_name};
    for (const auto& path : candidates) {
        std::ifstream file(path);
        if (!file.is_open()) continue;
        QUORIN_LOG(INFO, "Loading config from: ", path);
        parse(file);
        QUORIN_LOG(INFO, "Config loaded from: ", path);
        return;
    }
    QUORIN_LOG(WARN, "Failed to open config file. Tried paths:");
    for (const auto& path : candidates) QUORIN_LOG(WARN, "  - ", path);
}

void Server_Config::parse(std::istream& text) {
    std::string section;
    std::string line;
    // A read error ends the file as if it had ended there.
    while (std::getline(text, line)) parse_line(line, section);
}

void Server_Config::parse_line(const std::string& raw_line, std::string& section) {
    const std::string line = trim(raw_line);
    if (line.empty() || line.front() == '#') return;
    if (line.front() == '[' && line.back() == ']') {
        section = line.substr(1, line.size() - 2);
        return;
    }
    const auto equals = line.find('=');
    if (equals == std::string::npos) return;
    const std::string key = trim(line.substr(0, equals));
    const std::string value = trim(line.substr(equals + 1));
    if (value.empty()) return;
    try {
        apply(section, key, value);
    } catch (const std::exception& error) {
        QUORIN_LOG_ERROR("Error parsing config line: ", line, " - ", error.what());
    }
}

void Server_Config::apply(const std::string& section, const std::string& key,
                          const std::string& value) {
    if (section == "server" && key == "host_ip") {
        parse_address(value, "server->host_ip", server.host_ip);
    } else if (section == "control_service") {
        apply_control_service(key, value);
    } else if (section == "sdo_service" && key == "port_start") {
        parse_bounded(value, "sdo_service->port", lowest_port, highest_port, port_range, sdo_service.port);
    } else if (section == "pdo_service" && key == "port_start") {
        parse_bounded(value, "pdo_service->port_start", lowest_port, highest_port, port_range, pdo_service.port_start);
    } else if (section == "sdo_service" && key == "timeout_s") {
        parse_wide(value, "sdo_service->timeout_s", sdo_service.timeout_s);
    } else if (section == "pdo_service" && key == "timeout_s") {
        parse_wide(value, "pdo_service->timeout_s", pdo_service.timeout_s);
    } else if (section == "device" && key == "baudrate") {
        // A rate no serial port runs at would stretch the session's time-outs to hours.
        const int number = std::stoi(value);
        if (number < lowest_baudrate || number > highest_baudrate)
            throw std::runtime_error("baudrate must be between " + std::to_string(lowest_baudrate) + " and " +
                                     std::to_string(highest_baudrate));
        device.baudrate = static_cast<std::uint64_t>(number);
        QUORIN_LOG(INFO, "Loaded device->baudrate: ", device.baudrate);
    } else if (section == "device" && key == "realtime_priority") {
        parse_bounded(value, "device->realtime_priority", 0, 1, "0 or 1", device.realtime_priority);
    } else if (section == "device" && key == "reconnect_ms") {
        parse_bounded(value, "device->reconnect_ms", 0, max_reconnect_ms, "0 - " + std::to_string(max_reconnect_ms),
                      device.reconnect_ms);
    }
}

void Server_Config::apply_control_service(const std::string& key, const std::string& value) {
    if (key == "port") {
        parse_bounded(value, "control_service->port", lowest_port, highest_port, port_range, control_service.port);
    } else if (key == "timeout_s") {
        parse_wide(value, "control_service->timeout_s", control_service.timeout_s);
    } else if (key == "listen_ip") {
        parse_address(value, "control_service->listen_ip", control_service.listen_ip);
    } else if (key == "allow") {
        control_service.allow = Utility::Address_Range::parse_list(value);
        std::string listed;
        for (const auto& range : control_service.allow) listed += (listed.empty() ? "" : ", ") + range.to_string();
        QUORIN_LOG(INFO, "Loaded control_service->allow: ", listed);
    } else if (key == "idle_s") {
        const int highest = std::numeric_limits<int>::max();
        parse_bounded(value, "control_service->idle_s", 0, highest, "0 - " + std::to_string(highest), control_service.idle_s);
    }
}

template <typename Field>
void Server_Config::parse_bounded(const std::string& value, const char* name, int lowest, int highest,
                                  const std::string& range, Field& field) {
    const int number = std::stoi(value);
    if (number < lowest || number > highest) {
        QUORIN_LOG_ERROR("Config ", name, " [", number, "] invalid (should be ", range, ")!");
        return;
    }
    field = static_cast<Field>(number);
    QUORIN_LOG(INFO, "Loaded ", name, ": ", number);
}

void Server_Config::parse_address(const std::string& value, const char* name, std::string& field) {
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(value, error);
    if (error) throw std::runtime_error(error.message());
    field = address.to_string();
    QUORIN_LOG(INFO, "Loaded ", name, ": ", field);
}

void Server_Config::parse_wide(const std::string& value, const char* name, std::uint64_t& field) {
    // Widened with its sign: a negative value wraps, as the stored field is unsigned.
    field = static_cast<std::uint64_t>(static_cast<std::int64_t>(std::stoi(value)));
    QUORIN_LOG(INFO, "Loaded ", name, ": ", field);
}

}  // namespace Quorin_Core
