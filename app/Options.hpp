#pragma once

#include <optional>
#include <ostream>

namespace Quorin_Core::App {

/// Reads the command-line options left to right. Prints the version or usage block, or
/// the unknown-option message, and returns the exit status when the program should end
/// there; returns nothing when the server should start. `--debug` lowers the log level.
std::optional<int> parse_options(int argc, const char* const argv[], std::ostream& out,
                                 std::ostream& err);

/// The version block: product and version, the old name, the build description.
void print_version(std::ostream& out);

/// The usage block for the program name as invoked.
void print_usage(std::ostream& out, const char* program_name);

}  // namespace Quorin_Core::App
