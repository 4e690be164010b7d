#pragma once

#include <cstddef>
#include <deque>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace Quorin_Core::App {

/// A plain line reader for consoles without GNU Readline (Windows): writes the prompt, reads
/// one line and keeps the lines it is given in an in-memory history. It neither echoes nor
/// edits: an interactive console's own line input does both, and piped input is not echoed.
///
/// Threading: one thread at a time (the console runs on the main thread).
class Line_Reader {
public:
    /// Most lines the history keeps; beyond that the oldest goes.
    static constexpr std::size_t history_capacity = 1000;

    /// Reads from `in` and writes prompts to `out`; both must outlive the reader.
    Line_Reader(std::istream& in, std::ostream& out);

    /// Writes `prompt`, flushes, and reads up to the next "\n", which is not part of the
    /// line; no other character is removed. A last line that ends without "\n" is returned
    /// as it is; nothing once the input has ended.
    std::optional<std::string> read_line(std::string_view prompt);

    /// Appends `line` to the history.
    void add_history(std::string line);

    /// The history, oldest line first.
    const std::deque<std::string>& history() const { return lines; }

private:
    std::istream& in;
    std::ostream& out;
    std::deque<std::string> lines;
};

}  // namespace Quorin_Core::App
