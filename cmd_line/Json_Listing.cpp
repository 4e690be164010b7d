#include "cmd_line/Json_Listing.hpp"

#include <nlohmann/json.hpp>

namespace Quorin_Core::CMD_Line {

std::string json_listing(const std::string& key, const std::vector<std::string>& records) {
    nlohmann::json document;
    document[key] = records;
    // Invalid UTF-8 (a name is raw bytes from a client) is replaced rather than thrown on.
    return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\r\n";
}

}  // namespace Quorin_Core::CMD_Line
