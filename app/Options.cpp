#include "app/Options.hpp"

#include <string_view>

#include "Build_Info.hpp"
#include "utility/Logger.hpp"

namespace Quorin_Core::App {
namespace {

constexpr const char* product = "quorin";
constexpr const char* version = "1.1.0";

}  // namespace

void print_version(std::ostream& out) {
    using namespace Build_Info;
    out << product << " v" << version << std::endl;
    out << "Quorin Core-Socket, old name = mirelon data server" << std::endl;
    out << "Build: " << build_type << ", " << compiler_id << " " << compiler_version << ", "
        << system_name << "/" << system_processor << ", " << build_time << " @" << build_host
        << std::endl;
}

void print_usage(std::ostream& out, const char* program_name) {
    out << "Usage: " << program_name << " [OPTIONS]" << std::endl;
    out << "Options:" << std::endl;
    out << "  --version, -v     Show version information" << std::endl;
    out << "  --help, -h        Show this help message" << std::endl;
    out << "  --debug, -d       Enable debug logging" << std::endl;
    out << "  --service, -s     Run without a console until SIGTERM or SIGINT" << std::endl;
    out << "  --config FILE     Read the configuration from FILE only" << std::endl;
    out << "  --commands FILE   Run the commands in FILE once the server has started" << std::endl;
}

std::optional<int> parse_options(int argc, const char* const argv[], std::ostream& out,
                                 std::ostream& err, Options& options) {
    constexpr int usage_error = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--version" || argument == "-v") {
            print_version(out);
            return 0;
        }
        if (argument == "--help" || argument == "-h") {
            print_usage(out, argv[0] ? argv[0] : product);
            return 0;
        }
        if (argument == "--debug" || argument == "-d") {
            Utility::set_log_level(Utility::Log_Level::DEBUG);
            continue;
        }
        if (argument == "--service" || argument == "-s") {
            options.service = true;
            continue;
        }
        if (argument == "--config" || argument == "--commands") {
            if (i + 1 == argc) {
                err << "Error: Option " << argument << " needs a file name\n"
                    << "Use --help for usage information" << std::endl;
                return usage_error;
            }
            (argument == "--config" ? options.config_file : options.commands_file) = argv[++i];
            continue;
        }
        err << "Error: Unknown option " << argument << "\n"
            << "Use --help for usage information" << std::endl;
        return usage_error;
    }
    return std::nullopt;
}

}  // namespace Quorin_Core::App
