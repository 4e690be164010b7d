#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace Quorin_Test {

using namespace std::chrono_literals;

/// A program started with arguments, its standard output and error captured; killed when
/// the object goes if it still runs.
class Child_Process {
public:
    /// Starts `binary` with `args`; throws std::runtime_error when it cannot.
    Child_Process(const std::string& binary, const std::vector<std::string>& args);
    ~Child_Process();
    Child_Process(const Child_Process&) = delete;
    Child_Process& operator=(const Child_Process&) = delete;

    /// Sends `signal_number` to it.
    void signal(int signal_number);
    /// Waits for it to end and for its output to be read to the end; its exit status (128 +
    /// signal when killed), or nothing on time-out.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout = 10s);
    /// Waits until its standard output holds `text`.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout = 10s);

    std::string out() const;  ///< standard output so far
    std::string err() const;  ///< standard error so far

private:
    void read_pipe(int fd, std::string& into);

    pid_t pid = -1;
    std::optional<int> exit_status;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::string stdout_text;
    std::string stderr_text;
    std::thread stdout_reader;
    std::thread stderr_reader;
};

}  // namespace Quorin_Test
