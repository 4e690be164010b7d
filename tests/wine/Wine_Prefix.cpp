#include "wine/Wine_Prefix.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string_view>

namespace Quorin_Test {

namespace fs = std::filesystem;

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0')
        throw std::runtime_error(std::string(name) + " is not set: run scripts/wine-test");
    return value;
}

}  // namespace

Wine_Prefix::Wine_Prefix()
    : prefix(environment("WINEPREFIX")),
      loader(environment("QUORIN_WINE_LOADER")),
      binary(environment("QUORIN_WINDOWS_BINARY")) {}

std::string Wine_Prefix::run(const std::string& arguments) const {
    const std::string command = "'" + loader + "' " + arguments + " 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
    std::string out;
    std::array<char, 4096> buffer{};
    while (const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), pipe)) out.append(buffer.data(), got);
    ::pclose(pipe);
    std::erase(out, '\r');
    return out;
}

std::vector<Wine_Prefix::Registry_String> Wine_Prefix::registry_strings(const std::string& key) const {
    // reg writes each value as four blanks, its name, its type between four blanks each side, its data.
    constexpr std::string_view indent = "    ";
    constexpr std::string_view type = "    REG_SZ    ";
    std::vector<Registry_String> values;
    std::istringstream lines(run("reg query '" + key + "'"));
    for (std::string line; std::getline(lines, line);) {
        const auto at = line.find(type);
        if (!line.starts_with(indent) || at == std::string::npos) continue;
        values.emplace_back(line.substr(indent.size(), at - indent.size()), line.substr(at + type.size()));
    }
    return values;
}

Deleted_Registry_Key::Deleted_Registry_Key(const Wine_Prefix& wine, std::string key)
    : wine(wine), key(std::move(key)), values(wine.registry_strings(this->key)) {
    wine.run("reg delete '" + this->key + "' /f");
}

Deleted_Registry_Key::~Deleted_Registry_Key() {
    for (const auto& [name, data] : values)
        wine.run("reg add '" + key + "' /v '" + name + "' /t REG_SZ /d '" + data + "' /f");
}

Dos_Device::Dos_Device(const Wine_Prefix& wine, const std::string& name, const std::string& target)
    : link((fs::path(wine.prefix) / "dosdevices" / name).string()) {
    fs::remove(link);
    fs::create_symlink(target, link);
}

Dos_Device::~Dos_Device() {
    std::error_code ignored;
    fs::remove(link, ignored);
}

}  // namespace Quorin_Test
