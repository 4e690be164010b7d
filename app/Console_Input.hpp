#pragma once

#include <memory>
#include <optional>
#include <string>

namespace Quorin_Core::App {

/// The console's line input, which another thread can interrupt: GNU Readline in its callback
/// form over a wait on standard input and a wake-up pipe (Console_Input_linux.cpp); on Windows a
/// reader thread over a Line_Reader (Console_Input_windows.cpp).
///
/// Threading: read_line and add_history on one thread (the main thread); interrupt on any.
class Console_Input {
public:
    Console_Input();
    ~Console_Input();
    Console_Input(const Console_Input&) = delete;
    Console_Input& operator=(const Console_Input&) = delete;

    /// Writes `prompt` and reads one line (without its "\n"); nothing at end of input or once
    /// interrupted.
    std::optional<std::string> read_line(const char* prompt);
    /// Keeps `line` in the in-memory history.
    void add_history(const std::string& line);
    /// Makes the read that waits, and every later one, return nothing.
    void interrupt();

private:
    struct State;
    std::unique_ptr<State> state;
};

}  // namespace Quorin_Core::App
