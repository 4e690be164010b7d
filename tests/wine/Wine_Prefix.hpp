#pragma once

#include <string>
#include <utility>
#include <vector>

namespace Quorin_Test {

/// The Wine prefix the Windows build runs in, as scripts/wine-test hands it over:
///   WINEPREFIX               the prefix (its wineserver already running)
///   QUORIN_WINE_LOADER       Wine's loader, /usr/lib/wine/wine64
///   QUORIN_WINDOWS_BINARY    the cross-built quorin.exe
/// Throws std::runtime_error when one of them is not set.
struct Wine_Prefix {
    /// A registry value's name and its data.
    using Registry_String = std::pair<std::string, std::string>;

    Wine_Prefix();

    /// Runs a Windows program of the prefix (such as "reg") with `arguments`, which the shell
    /// splits, and returns its standard output with the C runtime's "\r\n" made "\n".
    std::string run(const std::string& arguments) const;
    /// The plain string values of a registry key, as "reg query" shows them.
    std::vector<Registry_String> registry_strings(const std::string& key) const;

    std::string prefix;  ///< the prefix directory
    std::string loader;  ///< Wine's loader
    std::string binary;  ///< quorin.exe
};

/// A registry key of the prefix deleted as long as this lives, then made again with the plain
/// string values it had.
class Deleted_Registry_Key {
public:
    Deleted_Registry_Key(const Wine_Prefix& wine, std::string key);
    ~Deleted_Registry_Key();
    Deleted_Registry_Key(const Deleted_Registry_Key&) = delete;
    Deleted_Registry_Key& operator=(const Deleted_Registry_Key&) = delete;

private:
    const Wine_Prefix& wine;
    std::string key;
    std::vector<Wine_Prefix::Registry_String> values;
};

/// A DOS device of the prefix (such as "com7") made a symbolic link to a Unix device as long
/// as this lives: Windows programs then open "\\.\COM7" as that device.
class Dos_Device {
public:
    Dos_Device(const Wine_Prefix& wine, const std::string& name, const std::string& target);
    ~Dos_Device();
    Dos_Device(const Dos_Device&) = delete;
    Dos_Device& operator=(const Dos_Device&) = delete;

private:
    std::string link;
};

}  // namespace Quorin_Test
