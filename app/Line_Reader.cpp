#include "app/Line_Reader.hpp"

namespace Quorin_Core::App {

Line_Reader::Line_Reader(std::istream& in, std::ostream& out) : in(in), out(out) {}

std::optional<std::string> Line_Reader::read_line(std::string_view prompt) {
    out << prompt << std::flush;
    std::string line;
    // getline fails only when it read nothing at all: the input has ended.
    if (!std::getline(in, line)) return std::nullopt;
    return line;
}

void Line_Reader::add_history(std::string line) {
    if (lines.size() == history_capacity) lines.pop_front();
    lines.push_back(std::move(line));
}

}  // namespace Quorin_Core::App
