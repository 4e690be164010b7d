#include "cmd_line/Total_Line.hpp"

namespace Quorin_Core::CMD_Line {

std::string total_line(std::string_view before, std::uint64_t value, std::string_view after) {
    std::string line(before);
    line.append(std::to_string(value)).append(after);
    return line;
}

}  // namespace Quorin_Core::CMD_Line
