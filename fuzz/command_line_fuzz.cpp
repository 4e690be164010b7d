// Fuzzes the command language: each input is one or more lines, run one after the other through
// the console's parser against a real server (its own configuration with free ports) that has a
// simulated device on a pseudo-terminal to bind. Every reply must take one of the forms the
// language defines. After each input the server is emptied again: no device, channel or mailbox.
//
// Ports are looked for only in the fuzzer's temporary directory, which holds the simulator's link
// "sim", a plain file "file" and a directory "dir". Channels and links may name any address, so
// run the target without a network (scripts/fuzz runs it in a namespace of its own).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <streambuf>
#include <string>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "cmd_line/Console.hpp"
#include "fuzz/Confined_Port_Path.hpp"
#include "fuzz/Reply_Grammar.hpp"
#include "server/Server.hpp"
#include "tools/devsim/Device_Simulator.hpp"
#include "utility/Logger.hpp"

namespace {

constexpr std::size_t max_lines = 32;

/// Swallows the log: nothing to keep, and no state shared between the threads that write.
class Discarding_Buffer : public std::streambuf {
protected:
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

std::uint16_t free_tcp_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t size = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        std::abort();
    ::close(fd);
    return ntohs(address.sin_port);
}

struct Fuzz_World {
    Fuzz_World() {
        char pattern[] = "/tmp/quorin-fuzz-XXXXXX";
        if (!::mkdtemp(pattern)) std::abort();
        directory = pattern;
        std::ofstream(directory / "file") << "not a serial port\n";
        std::filesystem::create_directory(directory / "dir");
        Quorin_Fuzz::confine_ports_to(directory.string());

        auto& logger = Quorin_Core::Utility::Logger::instance();
        logger.out = &log_sink;
        logger.min_level = Quorin_Core::Utility::Log_Level::FATAL;

        const std::string config_path = (directory / "quorin_cfg.ini").string();
        std::ofstream(config_path) << "[control_service]\nlisten_ip = 127.0.0.1\nport = " << free_tcp_port()
                                   << "\n[sdo_service]\nport_start = 41000\n[pdo_service]\nport_start = 46000\n"
                                      "[device]\nrealtime_priority = 0\n";
        Quorin_Tools::Devsim::Config device;
        device.link_path = (directory / "sim").string();
        simulator = std::make_unique<Quorin_Tools::Devsim::Device_Simulator>(device);
        simulator->start();
        server = std::make_unique<Quorin_Core::Server>(&Quorin_Core::CMD_Line::Console::cmd_parser, config_path);
        server->open_remote_commands();
    }
    ~Fuzz_World() {
        server.reset();
        simulator.reset();
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    std::filesystem::path directory;
    Discarding_Buffer log_buffer;
    std::ostream log_sink{&log_buffer};
    std::unique_ptr<Quorin_Tools::Devsim::Device_Simulator> simulator;
    std::unique_ptr<Quorin_Core::Server> server;
};

Fuzz_World* world = nullptr;

void run_checked(const std::string& line) {
    std::string reply;
    Quorin_Core::CMD_Line::Console::cmd_parser(line, reply, *world->server);
    const std::string fault = Quorin_Fuzz::reply_fault(line, reply);
    if (fault.empty()) return;
    std::fprintf(stderr, "Reply fault (%s)\n--- line (%zu bytes):\n%s\n--- reply (%zu bytes):\n%s\n---\n", fault.c_str(),
                 line.size(), line.c_str(), reply.size(), reply.c_str());
    std::abort();
}

void empty_the_server() {
    std::string ignored;
    Quorin_Core::CMD_Line::Console::cmd_parser("pdo -c", ignored, *world->server);
    Quorin_Core::CMD_Line::Console::cmd_parser("sdo -c", ignored, *world->server);
    world->server->unbind_all_devices();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    world = new Fuzz_World;  // ended at exit: the server's threads must not outlive their objects
    std::atexit([] { delete world; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::size_t lines = 0;
    for (std::size_t at = 0; at <= text.size() && lines < max_lines; ++lines) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        run_checked(text.substr(at, end - at));
        at = end + 1;
    }
    empty_the_server();
    return 0;
}
