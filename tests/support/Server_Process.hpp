#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/Free_Port.hpp"

namespace Quorin_Test {

using namespace std::chrono_literals;

/// A temporary directory, removed with everything in it when the object goes.
class Temp_Dir {
public:
    Temp_Dir();
    ~Temp_Dir();
    Temp_Dir(const Temp_Dir&) = delete;
    Temp_Dir& operator=(const Temp_Dir&) = delete;

    const std::string& path() const { return dir; }
    /// Writes `content` to `name` inside the directory.
    void write_file(const std::string& name, const std::string& content) const;

private:
    std::string dir;
};

/// The ports of a server's services, free ones unless given.
struct Server_Ports {
    std::uint16_t control = free_port();
    std::uint16_t sdo = free_port();
    std::uint16_t pdo = free_port();
    /// A config file that puts the services on these ports.
    std::string config() const;
};

/// A program, the real quorin binary unless `Options::command` names another, started in its
/// own temporary directory with its own quorin_cfg.ini, its standard input a pipe and its
/// output captured. Ended when the object goes: its input closed, then killed if it stays.
class Server_Process {
public:
    struct Options {
        /// Written as ./quorin_cfg.ini unless empty; then no file is written.
        std::string config;
        /// The control port `config` sets, as ctrl_port() reports it.
        std::uint16_t control_port = 0;
        std::vector<std::string> args;
        /// Waits for "Control Service started!" before returning.
        bool wait_until_started = true;
        /// If not empty, the server runs in this subdirectory of the temporary directory
        /// (created for it), so "./" is the subdirectory and "../" the temporary directory.
        std::string working_subdir;
        /// Written as ../quorin_cfg.ini (in the temporary directory) unless empty;
        /// needs `working_subdir`.
        std::string parent_config;
        /// The program and its first arguments, put before `args`; empty runs the Linux build.
        /// The Windows build runs as {Wine's loader, quorin.exe}, the simulator as {its binary}.
        std::vector<std::string> command;
        /// The console echoes each line it reads: GNU Readline reading a pipe does, the
        /// Windows build's own line reader does not.
        bool console_echoes = true;
        /// Standard output and error pass through the C runtime's text mode (Windows), which
        /// writes "\r\n" for each "\n"; undone as they are read, so tests see the program's bytes.
        bool text_mode_output = false;
    };

    explicit Server_Process(Options options);
    /// A server on `ports`.
    static Options options_with_ports(const Server_Ports& ports = {});
    ~Server_Process();

    Server_Process(const Server_Process&) = delete;
    Server_Process& operator=(const Server_Process&) = delete;

    /// Writes a line (a "\n" is added) to the console.
    void send_line(const std::string& line);
    /// Closes the console's standard input (end of input).
    void close_stdin();
    /// Sends `signal_number` to the process while it runs.
    void signal(int signal_number);

    /// Waits until standard output holds `text` at or after `from`; returns its position.
    std::optional<std::size_t> wait_for_output(const std::string& text, std::size_t from = 0,
                                               std::chrono::milliseconds timeout = 10s);
    /// Sends `line` to the console while it waits at its prompt and returns what it printed
    /// between the echo of the line and the next prompt, log lines left out: the reply
    /// followed by the console's own "\n". Nothing if no next prompt comes in time.
    std::optional<std::string> console_command(const std::string& line,
                                               std::chrono::milliseconds timeout = 10s);
    /// Waits for the process to end; its exit status, or nothing on time-out. Once it has
    /// ended, out() and err() hold everything it wrote.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout = 20s);

    std::string out() const;
    std::string err() const;
    const Temp_Dir& dir() const { return temp_dir; }
    std::uint16_t ctrl_port() const { return control_port; }

private:
    void read_pipe(int fd, std::string& into);
    void write_config_files(const Options& options, const std::string& working_dir) const;
    /// Waits until `done` holds for standard output; true if it did in time.
    bool wait_for_stdout(const std::function<bool(const std::string&)>& done,
                         std::chrono::milliseconds timeout);

    Temp_Dir temp_dir;
    std::uint16_t control_port = 0;
    bool console_echoes = true;
    bool text_mode_output = false;
    pid_t pid = -1;
    int stdin_fd = -1;
    std::optional<int> exit_status;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::string stdout_text;
    std::string stderr_text;
    std::thread stdout_reader;
    std::thread stderr_reader;
};

}  // namespace Quorin_Test
