#include "support/Log_Lines.hpp"

#include <regex>

namespace Quorin_Test {

static const std::regex log_line(R"(\[\d\d:\d\d:\d\d\.\d\d\d\] \[([A-Z ]{5})\] ([^\n]*)\n)");

std::vector<Log_Line> log_lines(const std::string& output) {
    std::vector<Log_Line> lines;
    for (std::sregex_iterator it(output.begin(), output.end(), log_line), end; it != end; ++it)
        lines.push_back({(*it)[1], (*it)[2]});
    return lines;
}

std::string without_log_lines(const std::string& text) { return std::regex_replace(text, log_line, ""); }

}  // namespace Quorin_Test
