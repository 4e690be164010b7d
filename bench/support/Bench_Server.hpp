#pragma once
// The real binary bound to the device simulator, for the benchmark programs that drive both as
// child processes (they define QUORIN_BINARY and QUORIN_DEVSIM_BINARY); POSIX only, like them.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/Free_Port.hpp"
#include "support/Server_Process.hpp"

namespace Quorin_Bench {

/// A child process in `dir` with its output in the file `output`; SIGTERM and a wait when it
/// goes, unless it has ended.
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
        if (stdin_pipe) ::close(pipe_fds[0]), input = pipe_fds[1];
    }
    ~Child() {
        if (input >= 0) ::close(input);
        if (pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == 0) terminate();
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
    /// Its CPU time so far, user and system, all threads; 0 once it has ended.
    double cpu_seconds() const {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        std::istringstream fields(text.substr(text.rfind(')') + 2));  // the name may hold spaces
        std::string field;
        unsigned long long user = 0, system = 0;
        for (int i = 3; i <= 13 && fields >> field; ++i) {}  // state .. cmajflt
        fields >> user >> system;
        return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
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

/// The control port, one command line at a time.
class Control {
public:
    explicit Control(std::uint16_t port) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (;;) {
            fd = ::socket(AF_INET, SOCK_STREAM, 0);
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return;
            ::close(fd);
            if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("no control port");
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // polling for the server to listen
        }
    }
    ~Control() { ::close(fd); }
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    /// Sends `line` and returns the one-line reply; throws unless it begins with "OK".
    std::string command(const std::string& line) {
        const std::string reply = exchange(line, "\r\n");
        if (!reply.starts_with("OK")) throw std::runtime_error(line + " -> " + reply);
        return reply;
    }
    /// Sends `line` and reads until the reply ends with `end`.
    std::string exchange(const std::string& line, const std::string& end) {
        const std::string sent = line + "\n";
        ::send(fd, sent.data(), sent.size(), 0);
        std::string reply;
        char c = 0;
        while (!reply.ends_with(end) && ::recv(fd, &c, 1, 0) == 1) reply.push_back(c);
        return reply;
    }

private:
    int fd = -1;
};

/// In `dir`: the simulator on a line paced at 4,000,000 baud (with `simulator_args` before its
/// link path), published as dir/sim, and the server on free ports with it bound and opened as
/// device "bench"; their output in dir/devsim.log and dir/server.log.
class Server_Rig {
public:
    Server_Rig(const std::string& dir, std::vector<std::string> simulator_args = {})
        : dir(dir),
          configured(write_config()),
          simulator(simulator_command(std::move(simulator_args)), dir, dir + "/devsim.log", false),
          linked(wait_for_link()),
          server({QUORIN_BINARY}, dir, dir + "/server.log", true),
          control(control_port) {
        control.command("bind bench " + link());
        control.command("dev bench -o");
    }

    static constexpr const char* line_baud = "4000000";
    std::string link() const { return dir + "/sim"; }

private:
    bool write_config() const {
        std::ofstream(dir + "/quorin_cfg.ini") << "[control_service]\nport = " << control_port
                                               << "\n[sdo_service]\nport_start = " << sdo_port
                                               << "\n[pdo_service]\nport_start = " << pdo_port << "\n";
        return true;
    }
    std::vector<std::string> simulator_command(std::vector<std::string> args) const {
        args.insert(args.begin(), {QUORIN_DEVSIM_BINARY, "--baud", line_baud});
        args.push_back(link());
        return args;
    }
    bool wait_for_link() const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!std::filesystem::exists(link())) {
            if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("no simulator link");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));  // polling for the simulator
        }
        return true;
    }

public:
    // In order of construction: the server starts once its config and the simulator's link are there.
    const std::string dir;
    const std::uint16_t control_port = Quorin_Test::free_port();
    const std::uint16_t sdo_port = Quorin_Test::free_port();
    const std::uint16_t pdo_port = Quorin_Test::free_port();
    const bool configured;
    Child simulator;
    const bool linked;
    Child server;
    Control control;
};

/// Copies `dir` (logs, trace) to a directory that outlives it; returns that one's path.
inline std::string kept_copy(const Quorin_Test::Temp_Dir& dir) {
    const std::string kept = dir.path() + "-kept";
    std::filesystem::copy(dir.path(), kept,
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
    return kept;
}

}  // namespace Quorin_Bench
