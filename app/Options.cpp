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
}

std::optional<int> parse_options(int argc, const char* const argv[], std::ostream& out,
                                 std::ostream& err) {
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
        err << "Error: Unknown option " << argument << "\n"
            << "Use --help for usage information" << std::endl;
        return 1;
    }
    return std::nullopt;
}

}  // namespace Quorin_Core::App
