#pragma once

#include "support/Free_Port.hpp"
#include "support/Log_Lines.hpp"

namespace Quorin_Test {

/// A temporary directory, removed with everything in it when the object goes.
class Temp_Dir {
public:
    Temp_Dir() : dir((std::filesystem::temp_directory_path() / "quorin-test-XXXXXX").string()) {
        if (::mkdtemp(dir.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    }
    ~Temp_Dir() { std::filesystem::remove_all(dir, ignored_error); }
    Temp_Dir(const Temp_Dir&) = delete;
    Temp_Dir& operator=(const Temp_Dir&) = delete;

    const std::string& path() const { return dir; }
    /// Writes `content` to `name` inside the directory.
    void write_file(const std::string& name, const std::string& content) const {
        std::ofstream(dir + "/" + name, std::ios::binary) << content;
    }

private:
    std::string dir;
    std::error_code ignored_error;
};

/// The ports of a server's services, free ones unless given.
struct Server_Ports {
    std::uint16_t control = free_port();
    std::uint16_t sdo = free_port();
    std::uint16_t pdo = free_port();
    /// A config file that puts the services on these ports.
    std::string config() const {
        return "[control_service]\nport = " + std::to_string(control) + "\n[sdo_service]\nport_start = " +
               std::to_string(sdo) + "\n[pdo_service]\nport_start = " + std::to_string(pdo) + "\n";
    }
};

/// A program, the real quorin binary unless `Options::command` names another, started in the
/// directory "run" of its own temporary directory, its standard input a pipe and its output
/// captured. Ended when the object goes: its input closed, then killed if it stays.
class Server_Process {
public:
    struct Options {
        std::string config{};            ///< written as ./quorin_cfg.ini unless empty
        std::uint16_t control_port = 0;  ///< the control port `config` sets, as ctrl_port() reports it
        std::vector<std::string> args{};
        bool wait_until_started = true;  ///< waits for "Control Service started!" before returning
        std::string parent_config{};     ///< written as ../quorin_cfg.ini unless empty
        /// The program and its first arguments, put before `args`; empty runs the Linux build.
        std::vector<std::string> command{};
        /// The console echoes each line it reads: GNU Readline reading a pipe does, the Windows
        /// build's own line reader does not.
        bool console_echoes = true;
        /// Output passes through the C runtime's text mode (Windows), which writes "\r\n" for
        /// each "\n"; undone as it is read, so tests see the program's bytes.
        bool text_mode_output = false;
    };

    /// A server on `ports`.
    static Options options_with_ports(const Server_Ports& ports = {}) {
        return {.config = ports.config(), .control_port = ports.control};
    }

    explicit Server_Process(Options options) : setup(options) {
        ::signal(SIGPIPE, SIG_IGN);  // a write to a server that has gone must fail, not kill the test
        std::filesystem::create_directory(temp_dir.path() + "/run");
        if (!options.config.empty()) temp_dir.write_file("run/quorin_cfg.ini", options.config);
        if (!options.parent_config.empty()) temp_dir.write_file("quorin_cfg.ini", options.parent_config);
        std::vector<std::string> argv_text = options.command;
        if (argv_text.empty()) argv_text.emplace_back(QUORIN_BINARY);
        argv_text.insert(argv_text.end(), options.args.begin(), options.args.end());
        std::vector<char*> argv;
        for (auto& text : argv_text) argv.push_back(text.data());
        argv.push_back(nullptr);

        int in[2], out_pipe[2], err_pipe[2];
        if (::pipe2(in, O_CLOEXEC) || ::pipe2(out_pipe, O_CLOEXEC) || ::pipe2(err_pipe, O_CLOEXEC) || (pid = ::fork()) < 0)
            throw std::runtime_error("cannot start " + argv_text[0]);
        if (pid == 0) {
            sigset_t none;  // the test runner may block signals in its threads; the program starts with none blocked
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            if (::dup2(in[0], 0) == 0 && ::dup2(out_pipe[1], 1) == 1 && ::dup2(err_pipe[1], 2) == 2 &&
                ::chdir((temp_dir.path() + "/run").c_str()) == 0)
                ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        for (const int fd : {in[0], out_pipe[1], err_pipe[1]}) ::close(fd);
        stdin_fd.reset(in[1]);
        threads.emplace_back([this, fd = out_pipe[0]] { read_pipe(fd, stdout_text); });
        threads.emplace_back([this, fd = err_pipe[0]] { read_pipe(fd, stderr_text); });
        threads.emplace_back([this] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) continue;
            std::lock_guard lock(mutex);
            exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            changed.notify_all();
        });
        if (options.wait_until_started && !wait_for_output("Control Service started!", 0, 20s)) {
            stop();
            throw std::runtime_error("server did not start:\n" + out() + err());
        }
    }
    ~Server_Process() { stop(); }

    /// Writes `line` and a "\n" to the console.
    void send_line(const std::string& line) {
        const std::string text = line + "\n";
        if (::write(stdin_fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            throw std::runtime_error("console write failed");
    }
    void close_stdin() { stdin_fd.reset(); }
    /// Sends `signal_number` to the process while it runs.
    void signal(int signal_number) {
        std::lock_guard lock(mutex);
        if (!exit_status) ::kill(pid, signal_number);
    }

    /// Waits until standard output holds `text` at or after `from`; returns its position.
    std::optional<std::size_t> wait_for_output(const std::string& text, std::size_t from = 0,
                                               std::chrono::milliseconds timeout = 10s) {
        std::size_t found = std::string::npos;
        wait([&] { return (found = stdout_text.find(text, from)) != std::string::npos; }, timeout);
        return found == std::string::npos ? std::nullopt : std::optional(found);
    }
    /// Sends `line` to the console while it waits at its prompt and returns what it printed
    /// between the echo of the line and the next prompt, log lines left out: the reply
    /// followed by the console's own "\n". Nothing if no next prompt comes in time.
    std::optional<std::string> console_command(const std::string& line, std::chrono::milliseconds timeout = 10s) {
        const std::string prompt = "\nQuorin Core: ", echo = "Quorin Core: > " + (setup.console_echoes ? line + "\n" : "");
        const std::size_t last_prompt = out().rfind(prompt);
        send_line(line);
        std::optional<std::string> reply;
        wait([&] {
            const std::string console = without_log_lines(stdout_text.substr(last_prompt == std::string::npos ? 0 : last_prompt));
            const auto echo_end = console.find(echo) == std::string::npos ? console.size() : console.find(echo) + echo.size();
            const auto next_prompt = console.find(prompt, echo_end);
            if (next_prompt != std::string::npos) reply = console.substr(echo_end, next_prompt - echo_end);
            return reply.has_value();
        }, timeout);
        return reply;
    }
    /// Waits for the process to end and its output to be read to the end; its exit status, or
    /// nothing on time-out.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout = 20s) {
        return wait([&] { return exit_status && open_pipes == 0; }, timeout) ? exit_status : std::nullopt;
    }

    std::string out() const { return std::lock_guard(mutex), stdout_text; }
    std::string err() const { return std::lock_guard(mutex), stderr_text; }
    std::uint16_t ctrl_port() const { return setup.control_port; }
    /// The program's own temporary directory; it runs in "run" inside it.
    const std::string& dir() const { return temp_dir.path(); }

private:
    /// Waits, holding the lock while it checks, until `done` holds or `timeout` passes.
    bool wait(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, done);
    }
    void read_pipe(int fd, std::string& into) {
        char buffer[4096];
        for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
            std::lock_guard lock(mutex);
            const std::size_t from = into.empty() ? 0 : into.size() - 1;  // the last read may have ended in "\r"
            into.append(buffer, static_cast<std::size_t>(got));
            for (auto at = into.find("\r\n", from); setup.text_mode_output && at != std::string::npos; at = into.find("\r\n", at))
                into.erase(at, 1);
            changed.notify_all();
        }
        ::close(fd);
        std::lock_guard lock(mutex);
        --open_pipes;
        changed.notify_all();
    }
    void stop() {
        close_stdin();
        if (!wait_exit(10s)) signal(SIGKILL);
        wait_exit(10s);
        for (auto& thread : threads) thread.join();
    }

    Temp_Dir temp_dir;
    Options setup;
    pid_t pid = -1;
    Fd stdin_fd;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::optional<int> exit_status;
    int open_pipes = 2;
    std::string stdout_text, stderr_text;
    std::vector<std::thread> threads;  ///< the readers of standard output and error, and the waiter
};

}  // namespace Quorin_Test
