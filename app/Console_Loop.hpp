#pragma once

namespace Quorin_Core {
class Server;
}

namespace Quorin_Core::App {

/// Reads command lines at the prompt and prints each reply, until "exit" or end of input.
void run_console_loop(Server& server);

}  // namespace Quorin_Core::App
