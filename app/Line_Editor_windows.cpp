#include "app/Line_Editor.hpp"

#include <cstdlib>
#include <cstring>
#include <iostream>

#include "app/Line_Reader.hpp"

namespace {

/// The console's reader. Standard input is in the C runtime's text mode, which has already
/// turned each "\r\n" into "\n" and ends the input at Ctrl+Z.
Quorin_Core::App::Line_Reader& console_reader() {
    static Quorin_Core::App::Line_Reader reader(std::cin, std::cout);
    return reader;
}

}  // namespace

extern "C" char* readline(const char* prompt) {
    const std::optional<std::string> line = console_reader().read_line(prompt != nullptr ? prompt : "");
    if (!line) return nullptr;
    // The caller releases the line with free(), as it does GNU Readline's.
    auto* copy = static_cast<char*>(std::malloc(line->size() + 1));
    if (copy != nullptr) std::memcpy(copy, line->c_str(), line->size() + 1);
    return copy;
}

extern "C" void add_history(const char* line) {
    if (line != nullptr) console_reader().add_history(line);
}
