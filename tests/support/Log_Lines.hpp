#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace Quorin_Test {

/// One log line found in the server's standard output.
struct Log_Line {
    std::string tag;      ///< the five-character level tag, e.g. "INFO " or "ERROR"
    std::string message;  ///< the text after "] ", up to the end of the line
    /// "[" tag "] " message, handy for comparing whole sequences.
    std::string tagged() const { return "[" + tag + "] " + message; }
};

/// Every "[HH:MM:SS.mmm] [LEVEL] message" line in `output`, in order. A log line may
/// follow a prompt on the same line, so lines are found wherever they start.
std::vector<Log_Line> log_lines(const std::string& output);
/// `text` without its complete log lines: what the console printed besides the log.
std::string without_log_lines(const std::string& text);
/// The tagged form of each line from `from` on, without the PDO thread's report of its
/// priority, which may fall anywhere among the others, if `without_priority_reports`.
std::vector<std::string> tagged_messages(const std::vector<Log_Line>& lines, bool without_priority_reports = false,
                                         std::size_t from = 0);
/// The tagged lines of `output` from "Control Service stopping...!" on, without priority reports.
std::vector<std::string> shutdown_log(const std::string& output);

/// Index of the first line whose message is exactly `message`, searching from `from`.
std::optional<std::size_t> find_message(const std::vector<Log_Line>& lines, const std::string& message,
                                        std::size_t from = 0);
/// Index of the first line whose message starts with `prefix`, searching from `from`.
std::optional<std::size_t> find_message_starting(const std::vector<Log_Line>& lines, const std::string& prefix,
                                                 std::size_t from = 0);
/// Number of lines whose message starts with `prefix`.
std::size_t count_messages_starting(const std::vector<Log_Line>& lines, const std::string& prefix);

}  // namespace Quorin_Test
