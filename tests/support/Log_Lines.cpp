#include "support/Log_Lines.hpp"

#include <algorithm>
#include <cctype>

namespace Quorin_Test {
namespace {

/// A log line found at some position: its parts and where it ends (after its "\n").
struct Found_Line {
    Log_Line line;
    std::size_t end;
};

/// Whether `text` at `at` has the shape of `shape`, where '9' stands for any digit.
bool has_shape(const std::string& text, std::size_t at, std::string_view shape) {
    if (text.size() - at < shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const char c = text[at + i];
        if (shape[i] == '9' ? !std::isdigit(static_cast<unsigned char>(c)) : c != shape[i]) return false;
    }
    return true;
}

/// "[HH:MM:SS.mmm] [LEVEL] message\n" starting exactly at `at`.
std::optional<Found_Line> log_line_at(const std::string& text, std::size_t at) {
    constexpr std::string_view stamp = "[99:99:99.999] [";
    constexpr std::size_t tag_size = 5;
    if (!has_shape(text, at, stamp)) return std::nullopt;
    const std::size_t tag_at = at + stamp.size();
    if (text.size() - tag_at < tag_size + 2 || text.compare(tag_at + tag_size, 2, "] ") != 0) return std::nullopt;
    const std::string tag = text.substr(tag_at, tag_size);
    if (!std::all_of(tag.begin(), tag.end(), [](char c) { return std::isupper(static_cast<unsigned char>(c)) || c == ' '; }))
        return std::nullopt;
    const std::size_t message_at = tag_at + tag_size + 2;
    const std::size_t newline = text.find('\n', message_at);
    if (newline == std::string::npos) return std::nullopt;
    return Found_Line{{tag, text.substr(message_at, newline - message_at)}, newline + 1};
}

}  // namespace

std::vector<Log_Line> log_lines(const std::string& output) {
    std::vector<Log_Line> lines;
    for (std::size_t at = output.find('['); at != std::string::npos; at = output.find('[', at)) {
        if (const auto found = log_line_at(output, at)) {
            lines.push_back(found->line);
            at = found->end;
        } else {
            ++at;
        }
    }
    return lines;
}

std::vector<std::string> tagged_messages(const std::vector<Log_Line>& lines) {
    std::vector<std::string> tagged;
    for (const auto& line : lines) tagged.push_back(line.tagged());
    return tagged;
}

std::optional<std::size_t> find_message(const std::vector<Log_Line>& lines, const std::string& message,
                                        std::size_t from) {
    for (std::size_t i = from; i < lines.size(); ++i)
        if (lines[i].message == message) return i;
    return std::nullopt;
}

std::optional<std::size_t> find_message_starting(const std::vector<Log_Line>& lines,
                                                 const std::string& prefix, std::size_t from) {
    for (std::size_t i = from; i < lines.size(); ++i)
        if (lines[i].message.starts_with(prefix)) return i;
    return std::nullopt;
}

std::size_t count_messages_starting(const std::vector<Log_Line>& lines, const std::string& prefix) {
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const Log_Line& line) { return line.message.starts_with(prefix); }));
}

std::vector<std::string> shutdown_log(const std::string& output) {
    const auto lines = log_lines(output);
    const auto stopping = find_message(lines, "Control Service stopping...!");
    if (!stopping) return {"<no Control Service stopping line>"};
    std::vector<std::string> tagged;
    for (std::size_t i = *stopping; i < lines.size(); ++i)
        if (!lines[i].message.starts_with("Thread priority set to ") && !lines[i].message.starts_with("Failed to set "))
            tagged.push_back(lines[i].tagged());
    return tagged;
}

std::string without_log_lines(const std::string& text) {
    std::string rest;
    std::size_t copied = 0;
    for (std::size_t at = text.find('['); at != std::string::npos; at = text.find('[', at)) {
        if (const auto found = log_line_at(text, at)) {
            rest.append(text, copied, at - copied);
            copied = at = found->end;
        } else {
            ++at;
        }
    }
    return rest.append(text, copied);
}

}  // namespace Quorin_Test
