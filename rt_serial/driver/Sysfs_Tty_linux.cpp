#include "rt_serial/driver/Sysfs_Tty_linux.hpp"

#include <fstream>

namespace Quorin_Core::RT_Serial::Driver::Sysfs_Tty {

namespace fs = std::filesystem;

namespace {

constexpr const char* device_link = "device";
constexpr const char* vendor_attribute = "idVendor";
constexpr const char* product_attribute = "idProduct";

bool has_device_link(const fs::path& tty) {
    std::error_code ignored;
    return fs::exists(tty / device_link, ignored);
}

bool holds_usb_identity(const fs::path& dir) {
    std::error_code ignored;
    return fs::exists(dir / vendor_attribute, ignored) && fs::exists(dir / product_attribute, ignored);
}

// True while `dir` lies strictly below `top`: the walk up never leaves sysfs.
bool strictly_below(const fs::path& dir, const fs::path& top) {
    const fs::path relative = dir.lexically_relative(top);
    return !relative.empty() && relative != "." && *relative.begin() != "..";
}

}  // namespace

fs::path class_dir(const Sysfs_Roots& roots) { return fs::path(roots.sys) / "class" / "tty"; }

std::vector<std::string> serial_names(const Sysfs_Roots& roots, std::error_code& error) {
    std::vector<std::string> names;
    fs::directory_iterator entry(class_dir(roots), error);
    if (error) return names;
    std::error_code step_error;
    for (; entry != fs::directory_iterator(); entry.increment(step_error)) {
        if (step_error) break;
        if (has_device_link(entry->path())) names.push_back(entry->path().filename().string());
    }
    return names;
}

fs::path usb_device_of(const Sysfs_Roots& roots, const std::string& name) {
    std::error_code error;
    const fs::path top = fs::canonical(roots.sys, error);
    if (error) return {};
    fs::path dir = fs::canonical(class_dir(roots) / name / device_link, error);
    if (error) return {};
    for (; strictly_below(dir, top); dir = dir.parent_path()) {
        if (holds_usb_identity(dir)) return dir;
    }
    return {};
}

std::string read_attribute(const fs::path& file) {
    std::ifstream stream(file);
    std::string line;
    std::getline(stream, line);
    return line;
}

std::string resolve_link(const std::string& port) {
    std::error_code error;
    if (!fs::is_symlink(port, error)) return port;
    const fs::path target = fs::canonical(port, error);
    return error ? port : target.string();
}

}  // namespace Quorin_Core::RT_Serial::Driver::Sysfs_Tty
