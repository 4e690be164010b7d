#include <exception>
#include <iostream>
#include <memory>

#include "app/Console_Loop.hpp"
#include "app/Options.hpp"
#include "server/Server.hpp"
#include "utility/Logger.hpp"

namespace {

// Start-up failures (the control port taken, a thread that cannot start) end here.
constexpr int startup_failure_status = 2;

}  // namespace

int main(int argc, char* argv[]) {
    using namespace Quorin_Core;
    Utility::set_log_level(Utility::Log_Level::INFO);
    if (const auto status = App::parse_options(argc, argv, std::cout, std::cerr)) return *status;

    std::unique_ptr<Server> server;
    try {
        server = std::make_unique<Server>();
    } catch (const std::exception& error) {
        std::cout << std::flush;
        std::cerr << error.what() << std::endl;
        return startup_failure_status;
    }
    App::run_console_loop(*server);
    server.reset();
    std::cout << std::flush;
    return 0;
}
