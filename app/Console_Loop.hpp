#pragma once

namespace Quorin_Core {
class Server;
}

namespace Quorin_Core::App {

class Shutdown_Request;

/// Reads command lines at the prompt and prints each reply, until "exit", end of input or a
/// shutdown request.
void run_console_loop(Server& server, Shutdown_Request& shutdown);

}  // namespace Quorin_Core::App
