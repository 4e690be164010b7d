#include "app/Console_Loop.hpp"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "app/Line_Editor.hpp"
#include "cmd_line/Console.hpp"

namespace Quorin_Core::App {

void run_console_loop(Server& server) {
    std::string line;
    std::string reply;
    for (;;) {
        line.clear();
        reply.clear();
        std::cout << "\nQuorin Core: " << std::flush;
        char* text = readline("> ");
        if (text == nullptr) break;
        line = text;
        std::free(text);
        if (line == "exit") break;
        if (!line.empty()) add_history(line.c_str());
        CMD_Line::Console::cmd_parser(line, reply, server);
        std::cout << reply << "\n" << std::flush;
    }
}

}  // namespace Quorin_Core::App
