#pragma once

#include <string>
#include <vector>

namespace Quorin_Core::CMD_Line {

/// One listing line: {"key":["record",...]} and "\r\n". Records are escaped as JSON
/// needs, so names holding quotes, backslashes or control bytes still give valid JSON.
std::string json_listing(const std::string& key, const std::vector<std::string>& records);

}  // namespace Quorin_Core::CMD_Line
