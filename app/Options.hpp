#pragma once

#include <optional>
#include <ostream>
#include <string>

namespace Quorin_Core::App {

/// What the command line asks of a server that starts.
struct Options {
    bool service = false;                       ///< run without a console, until a signal
    std::optional<std::string> config_file;     ///< read only this configuration file
    std::optional<std::string> commands_file;   ///< commands to run once the server has started
};

/// Reads the command-line options left to right into `options`. Prints the version or usage
/// block, or the unknown-option message, and returns the exit status when the program should
/// end there; returns nothing when the server should start. `--debug` lowers the log level.
std::optional<int> parse_options(int argc, const char* const argv[], std::ostream& out,
                                 std::ostream& err, Options& options);

/// The version block: product and version, the old name, the build description.
void print_version(std::ostream& out);

/// The usage block for the program name as invoked.
void print_usage(std::ostream& out, const char* program_name);

}  // namespace Quorin_Core::App
