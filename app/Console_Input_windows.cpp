#include "app/Console_Input.hpp"

#include <condition_variable>
#include <iostream>
#include <mutex>
#include <thread>

#include "app/Line_Reader.hpp"

namespace Quorin_Core::App {

// A reader thread does the blocking read, so that the main thread can stop waiting for it.
// Standard input is in the C runtime's text mode, which has already turned each "\r\n" into
// "\n" and ends the input at Ctrl+Z.
struct Console_Input::State {
    Line_Reader reader{std::cin, std::cout};
    std::mutex mutex;
    std::condition_variable changed;
    const char* prompt = nullptr;  ///< set while the main thread waits for a line
    std::optional<std::string> line;
    bool done = false;          ///< the read asked for has come back
    bool interrupted = false;
    bool reader_busy = false;   ///< the reader thread is inside a read
    std::thread thread;

    void run_reader();
};

void Console_Input::State::run_reader() {
    for (;;) {
        const char* next_prompt = nullptr;
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [this] { return prompt != nullptr || interrupted; });
            if (interrupted) return;
            next_prompt = prompt;
            prompt = nullptr;
            reader_busy = true;
        }
        auto read = reader.read_line(next_prompt);
        std::lock_guard lock(mutex);
        reader_busy = false;
        line = std::move(read);
        done = true;
        changed.notify_all();
        if (!line) return;  // the input has ended
    }
}

Console_Input::Console_Input() : state(std::make_unique<State>()) {
    state->thread = std::thread([state = state.get()] { state->run_reader(); });
}

Console_Input::~Console_Input() {
    interrupt();
    std::unique_lock lock(state->mutex);
    if (state->reader_busy) {
        // Blocked in a read of standard input that nothing can end: the process ends it.
        lock.unlock();
        state->thread.detach();
        state.release();
        return;
    }
    lock.unlock();
    state->thread.join();
}

std::optional<std::string> Console_Input::read_line(const char* prompt) {
    std::unique_lock lock(state->mutex);
    if (state->interrupted || (state->done && !state->line)) return std::nullopt;
    state->done = false;
    state->prompt = prompt;
    state->changed.notify_all();
    state->changed.wait(lock, [this] { return state->done || state->interrupted; });
    if (!state->done) return std::nullopt;
    return std::move(state->line);
}

void Console_Input::add_history(const std::string& line) { state->reader.add_history(line); }

void Console_Input::interrupt() {
    std::lock_guard lock(state->mutex);
    state->interrupted = true;
    state->changed.notify_all();
}

}  // namespace Quorin_Core::App
