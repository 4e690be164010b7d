#include "app/Console_Loop.hpp"

#include <iostream>
#include <string>

#include "app/Console_Input.hpp"
#include "app/Shutdown_Request.hpp"
#include "cmd_line/Console.hpp"

namespace Quorin_Core::App {

void run_console_loop(Server& server, Shutdown_Request& shutdown) {
    Console_Input input;
    shutdown.on_request([&input] { input.interrupt(); });
    std::string reply;
    for (;;) {
        reply.clear();
        std::cout << "\nQuorin Core: " << std::flush;
        const std::optional<std::string> line = input.read_line("> ");
        if (!line || *line == "exit") break;
        if (!line->empty()) input.add_history(*line);
        CMD_Line::Console::cmd_parser(*line, reply, server);
        std::cout << reply << "\n" << std::flush;
    }
    shutdown.on_request({});
}

}  // namespace Quorin_Core::App
