#include <exception>
#include <iostream>
#include <memory>
#include <optional>

#include "app/Console_Loop.hpp"
#include "app/Options.hpp"
#include "app/Shutdown_Request.hpp"
#include "app/Signal_Watch.hpp"
#include "app/Startup_Commands.hpp"
#include "cmd_line/Console.hpp"
#include "server/Server.hpp"
#include "utility/Logger.hpp"

namespace {

// Start-up failures (a file that cannot be read, the control port taken, a thread that
// cannot start) end here.
constexpr int startup_failure_status = 2;

int startup_failure(const std::exception& error) {
    std::cout << std::flush;
    std::cerr << error.what() << std::endl;
    return startup_failure_status;
}

}  // namespace

int main(int argc, char* argv[]) {
    using namespace Quorin_Core;
    Utility::set_log_level(Utility::Log_Level::INFO);
    App::Options options;
    if (const auto status = App::parse_options(argc, argv, std::cout, std::cerr, options)) return *status;

    std::optional<App::Startup_Commands> startup;
    try {
        if (options.commands_file) startup = App::Startup_Commands::from_file(*options.commands_file);
    } catch (const std::exception& error) {
        return startup_failure(error);
    }
    App::Shutdown_Request shutdown;
    const App::Signal_Watch signals(shutdown);
    std::unique_ptr<Server> server;
    try {
        server = std::make_unique<Server>(&CMD_Line::Console::cmd_parser, options.config_file);
    } catch (const std::exception& error) {
        return startup_failure(error);
    }
    if (startup) {
        // A device that is not plugged in must not keep the service from starting: with
        // reconnecting on, its bind waits for the port.
        server->bind_absent_ports(true);
        startup->run(*server, [&shutdown] { return shutdown.requested(); });
        server->bind_absent_ports(false);
    }
    server->open_remote_commands();
    if (options.service) {
        shutdown.wait();
    } else {
        App::run_console_loop(*server, shutdown);
    }
    server.reset();
    std::cout << std::flush;
    return 0;
}
