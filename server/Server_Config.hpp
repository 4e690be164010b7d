#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "utility/Address_Range.hpp"

namespace Quorin_Core {

/// The server's settings, read once from the configuration file at start.
/// Every key is optional; a missing file or a bad line leaves the defaults.
class Server_Config {
public:
    struct Server_Group {
        std::string host_ip = "0.0.0.0";
    };
    struct Control_Service_Group {
        std::uint16_t port = 50000;
        std::uint64_t timeout_s = 1000;
        std::string listen_ip = "0.0.0.0";             ///< the interface the control port listens on
        std::vector<Utility::Address_Range> allow;     ///< clients let in; empty lets every one in
        std::uint32_t idle_s = 0;                      ///< a connection idle this long is closed; 0 never
    };
    struct SDO_Service_Group {
        std::uint16_t port = 51000;
        std::uint64_t timeout_s = 1000;
    };
    struct PDO_Service_Group {
        std::uint16_t port_start = 52000;
        std::uint64_t timeout_s = 1000;
    };
    struct Device_Group {
        std::uint64_t baudrate = 4000000;
        bool realtime_priority = true;  ///< raise each session thread's priority
        std::uint32_t reconnect_ms = 0;  ///< reopen a lost port this often; 0 never
    };

    /// Sets the defaults, then loads `file_name` from the search paths.
    explicit Server_Config(const std::string& file_name);
    /// Only the defaults; nothing is read.
    Server_Config() = default;
    /// The defaults, then the file at `path` and no other. Throws std::runtime_error naming the
    /// file and the reason when it cannot be read.
    static Server_Config from_file(const std::string& path);

    /// Searches "/etc/quorin/", "./", "../" for `file_name` and applies the first that opens.
    void load(const std::string& file_name);
    /// Applies every line of an opened configuration text. Logs each value or problem.
    void parse(std::istream& text);
    /// Applies one raw line; `section` is the current section and may be changed by it.
    void parse_line(const std::string& raw_line, std::string& section);

    Server_Group server;
    Control_Service_Group control_service;
    SDO_Service_Group sdo_service;
    PDO_Service_Group pdo_service;
    Device_Group device;

private:
    void apply(const std::string& section, const std::string& key, const std::string& value);
    /// Stores and logs a number within [lowest, highest]; logs one outside as invalid ("should be
    /// `range`") and keeps the field. Throws what std::stoi throws.
    template <typename Field>
    static void parse_bounded(const std::string& value, const char* name, int lowest, int highest,
                              const std::string& range, Field& field);
    /// Stores and logs an IPv4 or IPv6 address in its canonical text; throws std::runtime_error
    /// with the address library's description when it does not parse.
    static void parse_address(const std::string& value, const char* name, std::string& field);
    static void parse_wide(const std::string& value, const char* name, std::uint64_t& field);
    void apply_control_service(const std::string& key, const std::string& value);
};

}  // namespace Quorin_Core
