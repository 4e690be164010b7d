#include "support/Log_Lines.hpp"

#include <algorithm>
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

std::vector<std::string> tagged_messages(const std::vector<Log_Line>& lines, bool without_priority_reports,
                                         std::size_t from) {
    std::vector<std::string> tagged;
    for (std::size_t i = from; i < lines.size(); ++i)
        if (!without_priority_reports || !(lines[i].message.starts_with("Thread priority set to ") ||
                                           lines[i].message.starts_with("Failed to set ")))
            tagged.push_back(lines[i].tagged());
    return tagged;
}

std::vector<std::string> shutdown_log(const std::string& output) {
    const auto lines = log_lines(output);
    const auto stopping = find_message(lines, "Control Service stopping...!");
    return stopping ? tagged_messages(lines, true, *stopping) : std::vector<std::string>{"<no stopping line>"};
}

std::optional<std::size_t> find_message(const std::vector<Log_Line>& lines, const std::string& message,
                                        std::size_t from) {
    for (std::size_t i = from; i < lines.size(); ++i)
        if (lines[i].message == message) return i;
    return std::nullopt;
}

std::optional<std::size_t> find_message_starting(const std::vector<Log_Line>& lines, const std::string& prefix,
                                                 std::size_t from) {
    for (std::size_t i = from; i < lines.size(); ++i)
        if (lines[i].message.starts_with(prefix)) return i;
    return std::nullopt;
}

std::size_t count_messages_starting(const std::vector<Log_Line>& lines, const std::string& prefix) {
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const Log_Line& line) { return line.message.starts_with(prefix); }));
}

}  // namespace Quorin_Test
