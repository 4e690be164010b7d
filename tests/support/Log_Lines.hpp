#pragma once

#include "support/Test_Helpers.hpp"

namespace Quorin_Test {

/// One log line found in the server's standard output.
struct Log_Line {
    std::string tag;      ///< the five-character level tag, e.g. "INFO " or "ERROR"
    std::string message;  ///< the text after "] ", up to the end of the line
    std::string tagged() const { return "[" + tag + "] " + message; }
};

/// Every "[HH:MM:SS.mmm] [LEVEL] message" line in `output`, in order. A log line may
/// follow a prompt on the same line, so lines are found wherever they start.
std::vector<Log_Line> log_lines(const std::string& output);
/// `text` without its complete log lines: what the console printed besides the log.
std::string without_log_lines(const std::string& text);

/// The tagged form of each line from `from` on; without the PDO thread's reports of its
/// priority, which may fall anywhere among the others, if `without_priority_reports`.
inline std::vector<std::string> tagged_messages(const std::vector<Log_Line>& lines, bool without_priority_reports = false,
                                                std::size_t from = 0) {
    std::vector<std::string> tagged;
    for (std::size_t i = from; i < lines.size(); ++i)
        if (!without_priority_reports || !(lines[i].message.starts_with("Thread priority set to ") ||
                                           lines[i].message.starts_with("Failed to set ")))
            tagged.push_back(lines[i].tagged());
    return tagged;
}

/// Index of the first line from `from` on whose message is exactly `message`.
inline std::optional<std::size_t> find_message(const std::vector<Log_Line>& lines, const std::string& message,
                                               std::size_t from = 0) {
    for (std::size_t i = from; i < lines.size(); ++i)
        if (lines[i].message == message) return i;
    return std::nullopt;
}

/// Number of lines whose message starts with `prefix`.
inline std::size_t count_messages_starting(const std::vector<Log_Line>& lines, const std::string& prefix) {
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const Log_Line& line) { return line.message.starts_with(prefix); }));
}

/// The tagged lines of `output` from "Control Service stopping...!" on, without priority reports.
inline std::vector<std::string> shutdown_log(const std::string& output) {
    const auto lines = log_lines(output);
    const auto stopping = find_message(lines, "Control Service stopping...!");
    return stopping ? tagged_messages(lines, true, *stopping) : std::vector<std::string>{"<no stopping line>"};
}

}  // namespace Quorin_Test
