#include "support/Child_Process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace Quorin_Test {

namespace {

/// Poll period of wait_exit: waitpid has no time-out of its own.
constexpr auto exit_poll_period = 5ms;

}  // namespace

Child_Process::Child_Process(const std::string& binary, const std::vector<std::string>& args) {
    int out_pipe[2], err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) || ::pipe2(err_pipe, O_CLOEXEC)) throw std::runtime_error("pipe failed");
    std::vector<std::string> argv_text{binary};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
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
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    stdout_reader = std::thread([this, fd = out_pipe[0]] { read_pipe(fd, stdout_text); });
    stderr_reader = std::thread([this, fd = err_pipe[0]] { read_pipe(fd, stderr_text); });
}

Child_Process::~Child_Process() {
    if (!exit_status) {
        ::kill(pid, SIGKILL);
        wait_exit();
    }
    if (stdout_reader.joinable()) stdout_reader.join();
    if (stderr_reader.joinable()) stderr_reader.join();
}

void Child_Process::read_pipe(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) break;
        std::lock_guard lock(mutex);
        into.append(buffer, static_cast<std::size_t>(got));
        changed.notify_all();
    }
    ::close(fd);
}

void Child_Process::signal(int signal_number) {
    if (!exit_status) ::kill(pid, signal_number);
}

std::optional<int> Child_Process::wait_exit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!exit_status) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            // All it wrote is in the pipes: read it to the end before anyone looks.
            if (stdout_reader.joinable()) stdout_reader.join();
            if (stderr_reader.joinable()) stderr_reader.join();
        } else if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        } else {
            std::this_thread::sleep_for(exit_poll_period);
        }
    }
    return exit_status;
}

bool Child_Process::wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return stdout_text.find(text) != std::string::npos; });
}

std::string Child_Process::out() const {
    std::lock_guard lock(mutex);
    return stdout_text;
}

std::string Child_Process::err() const {
    std::lock_guard lock(mutex);
    return stderr_text;
}

}  // namespace Quorin_Test
