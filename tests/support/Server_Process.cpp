#include "support/Server_Process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <stdexcept>

#include "support/Free_Port.hpp"
#include "support/Log_Lines.hpp"

namespace Quorin_Test {

Temp_Dir::Temp_Dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorin-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = pattern;
}

Temp_Dir::~Temp_Dir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

void Temp_Dir::write_file(const std::string& name, const std::string& content) const {
    std::ofstream file(dir + "/" + name, std::ios::binary);
    file << content;
}

std::string Server_Ports::config() const {
    return "[control_service]\nport = " + std::to_string(control) + "\n[sdo_service]\nport_start = " +
           std::to_string(sdo) + "\n[pdo_service]\nport_start = " + std::to_string(pdo) + "\n";
}

Server_Process::Options Server_Process::options_with_ports(const Server_Ports& ports) {
    Options options;
    options.config = ports.config();
    options.control_port = ports.control;
    return options;
}

namespace {

/// `chunk` with the C runtime's text mode undone: the "\r" it wrote before each "\n" removed.
/// A "\r" that ends the chunk is held back in `held_cr` until the next chunk shows what follows.
std::string undo_text_mode(std::string_view chunk, bool& held_cr) {
    std::string text = held_cr ? "\r" : "";
    text.append(chunk);
    held_cr = !text.empty() && text.back() == '\r';
    if (held_cr) text.pop_back();
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' || i + 1 == text.size() || text[i + 1] != '\n') bytes += text[i];
    }
    return bytes;
}

}  // namespace

void Server_Process::write_config_files(const Options& options, const std::string& working_dir) const {
    if (!options.working_subdir.empty()) std::filesystem::create_directories(working_dir);
    if (!options.config.empty())
        temp_dir.write_file(options.working_subdir.empty() ? "quorin_cfg.ini"
                                                           : options.working_subdir + "/quorin_cfg.ini",
                            options.config);
    if (!options.parent_config.empty()) {
        if (options.working_subdir.empty())
            throw std::invalid_argument("parent_config needs a working_subdir");
        temp_dir.write_file("quorin_cfg.ini", options.parent_config);
    }
}

Server_Process::Server_Process(Options options)
    : control_port(options.control_port),
      console_echoes(options.console_echoes),
      text_mode_output(options.text_mode_output) {
    ::signal(SIGPIPE, SIG_IGN);  // a write to a server that has gone must fail, not kill the test
    const std::string working_dir =
        options.working_subdir.empty() ? temp_dir.path() : temp_dir.path() + "/" + options.working_subdir;
    write_config_files(options, working_dir);

    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (::pipe2(in_pipe, O_CLOEXEC) || ::pipe2(out_pipe, O_CLOEXEC) || ::pipe2(err_pipe, O_CLOEXEC))
        throw std::runtime_error("pipe failed");

    std::vector<std::string> argv_text =
        options.command.empty() ? std::vector<std::string>{QUORIN_BINARY} : options.command;
    argv_text.insert(argv_text.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (auto& text : argv_text) argv.push_back(text.data());
    argv.push_back(nullptr);

    pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        // The test runner may block signals in its threads; the child starts with none blocked.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::dup2(in_pipe[0], 0);
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        if (::chdir(working_dir.c_str()) != 0) ::_exit(126);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    stdin_fd = in_pipe[1];
    stdout_reader = std::thread([this, fd = out_pipe[0]] { read_pipe(fd, stdout_text); });
    stderr_reader = std::thread([this, fd = err_pipe[0]] { read_pipe(fd, stderr_text); });

    if (options.wait_until_started && !wait_for_output("Control Service started!", 0, 20s))
        throw std::runtime_error("server did not start:\n" + out() + err());
}

Server_Process::~Server_Process() {
    if (!exit_status) {
        close_stdin();
        if (!wait_exit(10s)) {
            ::kill(pid, SIGKILL);
            wait_exit(10s);
        }
    }
    if (stdout_reader.joinable()) stdout_reader.join();
    if (stderr_reader.joinable()) stderr_reader.join();
}

void Server_Process::read_pipe(int fd, std::string& into) {
    char buffer[4096];
    bool held_cr = false;
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) break;
        const std::string_view chunk(buffer, static_cast<std::size_t>(got));
        std::lock_guard lock(mutex);
        into.append(text_mode_output ? undo_text_mode(chunk, held_cr) : std::string(chunk));
        changed.notify_all();
    }
    std::lock_guard lock(mutex);
    if (held_cr) into.append("\r");
    changed.notify_all();
    ::close(fd);
}

void Server_Process::send_line(const std::string& line) {
    const std::string text = line + "\n";
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::write(stdin_fd, text.data() + sent, text.size() - sent);
        if (n <= 0) throw std::runtime_error("console write failed");
        sent += static_cast<std::size_t>(n);
    }
}

void Server_Process::close_stdin() {
    if (stdin_fd >= 0) ::close(stdin_fd);
    stdin_fd = -1;
}

void Server_Process::signal(int signal_number) {
    if (!exit_status) ::kill(pid, signal_number);
}

std::optional<std::size_t> Server_Process::wait_for_output(const std::string& text, std::size_t from,
                                                           std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    std::size_t found = std::string::npos;
    changed.wait_for(lock, timeout, [&] {
        found = stdout_text.find(text, from);
        return found != std::string::npos;
    });
    if (found == std::string::npos) return std::nullopt;
    return found;
}

bool Server_Process::wait_for_stdout(const std::function<bool(const std::string&)>& done,
                                     std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return done(stdout_text); });
}

std::optional<std::string> Server_Process::console_command(const std::string& line,
                                                           std::chrono::milliseconds timeout) {
    static const std::string prompt = "\nQuorin Core: ";
    const std::string echo = "Quorin Core: > " + (console_echoes ? line + "\n" : "");
    const std::size_t current_prompt = [&] {
        const std::string text = out();
        const auto at = text.rfind(prompt);
        return at == std::string::npos ? std::size_t{0} : at;
    }();
    send_line(line);
    std::string reply;
    const bool answered = wait_for_stdout(
        [&](const std::string& text) {
            const std::string console = without_log_lines(text.substr(current_prompt));
            const auto echo_at = console.find(echo);
            if (echo_at == std::string::npos) return false;
            const auto reply_at = echo_at + echo.size();
            const auto next_prompt = console.find(prompt, reply_at);
            if (next_prompt == std::string::npos) return false;
            reply = console.substr(reply_at, next_prompt - reply_at);
            return true;
        },
        timeout);
    if (!answered) return std::nullopt;
    return reply;
}

std::optional<int> Server_Process::wait_exit(std::chrono::milliseconds timeout) {
    if (exit_status) return exit_status;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            close_stdin();
            // The pipes may still hold the last output: read them to their end first.
            if (stdout_reader.joinable()) stdout_reader.join();
            if (stderr_reader.joinable()) stderr_reader.join();
            return exit_status;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(5ms);
    }
}

std::string Server_Process::out() const {
    std::lock_guard lock(mutex);
    return stdout_text;
}

std::string Server_Process::err() const {
    std::lock_guard lock(mutex);
    return stderr_text;
}

}  // namespace Quorin_Test
