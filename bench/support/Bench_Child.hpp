#pragma once
// Shared by the benchmark programs that drive the real binary; POSIX only, like them.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace Quorin_Bench {

/// A child process with its output in a file; SIGTERM and a wait when it goes, unless ended.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::string& dir, const std::string& output, bool stdin_pipe) {
        int pipe_fds[2] = {-1, -1};
        if (stdin_pipe && ::pipe(pipe_fds) != 0) throw std::runtime_error("pipe");
        pid = ::fork();
        if (pid == 0) {
            if (pipe_fds[1] >= 0) ::close(pipe_fds[1]);
            exec(argv, dir, output, pipe_fds[0]);
        }
        if (stdin_pipe) {
            ::close(pipe_fds[0]);
            input = pipe_fds[1];
        }
    }
    ~Child() {
        if (input >= 0) ::close(input);
        if (pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    /// Closes standard input (the server's end of input) and waits for the end.
    void finish() {
        if (input >= 0) ::close(input);
        input = -1;
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
    /// Ends it with SIGTERM and waits.
    void terminate() {
        if (pid > 0) ::kill(pid, SIGTERM), ::waitpid(pid, nullptr, 0);
        pid = -1;
    }

private:
    [[noreturn]] static void exec(const std::vector<std::string>& argv, const std::string& dir,
                                  const std::string& output, int stdin_fd) {
        if (::chdir(dir.c_str()) != 0) ::_exit(127);
        const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::dup2(stdin_fd >= 0 ? stdin_fd : ::open("/dev/null", O_RDONLY), 0);
        std::vector<char*> args;
        for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }

    pid_t pid = -1;
    int input = -1;
};

}  // namespace Quorin_Bench
