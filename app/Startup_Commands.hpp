#pragma once

#include <functional>
#include <string>
#include <vector>

namespace Quorin_Core {
class Server;
}

namespace Quorin_Core::App {

/// The commands of a start-up file: its non-empty lines that are not "#" comments, in order.
class Startup_Commands {
public:
    struct Line {
        unsigned number;  ///< 1 for the file's first line
        std::string text;
    };

    /// Reads the file at `path`. Throws std::runtime_error naming the file and the reason when
    /// it cannot be read.
    static Startup_Commands from_file(const std::string& path);
    /// Reads the lines of `text`.
    static Startup_Commands from_text(const std::string& text);

    /// Runs each line through the command parser, in order, and logs its reply: at INFO, or at
    /// WARN with its line number when it failed. Stops early once `stop` says so.
    void run(Server& server, const std::function<bool()>& stop) const;

    const std::vector<Line>& lines() const { return commands; }

private:
    std::vector<Line> commands;
};

/// Whether a reply reports a failure: one of its lines begins with "FAILED" or ">-".
bool reply_failed(const std::string& reply);

}  // namespace Quorin_Core::App
