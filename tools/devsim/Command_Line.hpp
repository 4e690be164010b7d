#pragma once

#include <ostream>
#include <string>

#include "tools/devsim/Config.hpp"

namespace Quorin_Tools::Devsim {

/// What the command line asks for: a configuration, the help text, or nothing but an error.
struct Command_Line {
    static constexpr int exit_usage = 2;    ///< exit status for a bad command line
    static constexpr int exit_failure = 1;  ///< exit status when the device cannot be served

    Config config;      ///< the simulator to run
    bool help = false;  ///< --help was given: print the help and end
    std::string error;  ///< what is wrong with the command line; empty when nothing is

    /// Reads `quorin-devsim [options] <link-path>`. Options take their value as the next
    /// argument or after '='; the last value of a repeated option wins. --help anywhere wins
    /// over errors; otherwise the first error is the one reported.
    static Command_Line parse(int argc, const char* const argv[]);

    /// Writes the help text.
    static void print_help(std::ostream& out);
};

}  // namespace Quorin_Tools::Devsim
