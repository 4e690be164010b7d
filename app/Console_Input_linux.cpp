#include "app/Console_Input.hpp"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>  // GNU Readline's header uses FILE without including it
#include <cstdlib>
#include <stdexcept>

#include <readline/history.h>
#include <readline/readline.h>

namespace Quorin_Core::App {
namespace {

// GNU Readline's callback interface hands the line to a plain function: it lands here.
std::optional<std::string>* line_read = nullptr;
bool line_done = false;

void on_line(char* text) {
    line_done = true;
    if (text != nullptr) {
        *line_read = std::string(text);
        std::free(text);
    }
    // Removed here, before Readline would show the prompt again for a next line.
    rl_callback_handler_remove();
}

}  // namespace

struct Console_Input::State {
    int wake_pipe[2] = {-1, -1};
    std::atomic<bool> interrupted{false};
};

Console_Input::Console_Input() : state(std::make_unique<State>()) {
    if (::pipe(state->wake_pipe) != 0) throw std::runtime_error("Error creating the console's wake-up pipe");
    // The server's signal watch handles SIGINT and SIGTERM; Readline must not take them over.
    rl_catch_signals = 0;
}

Console_Input::~Console_Input() {
    for (const int fd : state->wake_pipe) ::close(fd);
}

std::optional<std::string> Console_Input::read_line(const char* prompt) {
    std::optional<std::string> line;
    if (state->interrupted) return line;
    line_read = &line;
    line_done = false;
    rl_callback_handler_install(prompt, on_line);
    while (!line_done) {
        pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {state->wake_pipe[0], POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (watched[1].revents != 0 || (watched[0].revents & POLLNVAL) != 0) break;
        if (watched[0].revents != 0) rl_callback_read_char();
    }
    if (!line_done) rl_callback_handler_remove();  // restores the terminal Readline set up
    line_read = nullptr;
    return line;
}

void Console_Input::add_history(const std::string& line) { ::add_history(line.c_str()); }

void Console_Input::interrupt() {
    state->interrupted = true;
    const char wake = 1;
    [[maybe_unused]] const auto written = ::write(state->wake_pipe[1], &wake, 1);
}

}  // namespace Quorin_Core::App
