#include "rt_serial/driver/Port_Discovery_windows.hpp"

#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <ios>

#include "rt_serial/driver/USB_Identity.hpp"
#include "utility/Logger.hpp"

namespace Quorin_Core::RT_Serial::Driver {

namespace {

/// What every COM port name begins with.
constexpr std::string_view com_prefix = "COM";
/// Lowest COM port number.
constexpr int first_com_number = 1;
/// The device setup class of ports (COM and LPT).
constexpr GUID ports_class_guid = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
/// The device registry value that holds the COM port name assigned to a device.
constexpr const char* port_name_value = "PortName";

/// Closes a registry key when it goes.
class Registry_Key {
public:
    explicit Registry_Key(HKEY key) : key(key) {}
    ~Registry_Key() { ::RegCloseKey(key); }
    Registry_Key(const Registry_Key&) = delete;
    Registry_Key& operator=(const Registry_Key&) = delete;

private:
    HKEY key;
};

/// Destroys a device information set when it goes.
class Device_Info_Set {
public:
    explicit Device_Info_Set(HDEVINFO set) : set(set) {}
    ~Device_Info_Set() { ::SetupDiDestroyDeviceInfoList(set); }
    Device_Info_Set(const Device_Info_Set&) = delete;
    Device_Info_Set& operator=(const Device_Info_Set&) = delete;

private:
    HDEVINFO set;
};

/// Text up to the first zero byte of `data`, or all of it when it holds none.
std::string text_of(const char* data, std::size_t size) {
    return std::string(data, ::strnlen(data, size));
}

/// The device's instance identifier; nothing when its size is 0 or it cannot be read.
std::optional<std::string> instance_id_of(HDEVINFO set, SP_DEVINFO_DATA& device) {
    DWORD size = 0;
    ::SetupDiGetDeviceInstanceIdA(set, &device, nullptr, 0, &size);
    if (size == 0) return std::nullopt;
    std::vector<char> buffer(size, '\0');
    if (!::SetupDiGetDeviceInstanceIdA(set, &device, buffer.data(), size, nullptr)) return std::nullopt;
    return text_of(buffer.data(), buffer.size());
}

/// The COM port name in the device's registry key; nothing when it has none.
std::optional<std::string> port_name_of(HDEVINFO set, SP_DEVINFO_DATA& device) {
    const HKEY key = ::SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return std::nullopt;
    const Registry_Key closer(key);
    DWORD size = 0;
    if (::RegQueryValueExA(key, port_name_value, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS || size == 0)
        return std::nullopt;
    std::vector<char> buffer(size, '\0');
    if (::RegQueryValueExA(key, port_name_value, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()),
                           &size) != ERROR_SUCCESS)
        return std::nullopt;
    return text_of(buffer.data(), buffer.size());
}

/// The USB identity in `instance_id`; nothing (logged) when it is none or cannot be read.
std::optional<USB_Identity> identity_of(const std::string& instance_id) {
    try {
        return usb_identity_from_instance_id(instance_id);
    } catch (const std::exception& error) {
        QUORIN_LOG(DEBUG, "Exception parsing VID/PID from instance ID:", instance_id, "Error:", error.what());
        return std::nullopt;
    }
}

/// One step of the enumeration: true when the device is an accepted USB device on `port`.
bool device_matches(HDEVINFO set, SP_DEVINFO_DATA& device, const std::string& port) {
    const std::optional<std::string> instance_id = instance_id_of(set, device);
    if (!instance_id) return false;
    const std::optional<USB_Identity> identity = identity_of(*instance_id);
    if (!identity) return false;
    QUORIN_LOG(DEBUG, "Found USB device - VID:[", std::hex, identity->vendor_id, "] PID:[",
               identity->product_id, "]");
    if (!is_accepted_usb_identity(*identity)) return false;
    const std::optional<std::string> name = port_name_of(set, device);
    if (!name) return false;
    QUORIN_LOG(DEBUG, "Device port name:", *name, ", Target port:", port);
    if (*name != port) return false;
    QUORIN_LOG(INFO, "Found matching KELD device on port:[", port, "] VID:[", std::hex,
               identity->vendor_id, "] PID:[", identity->product_id, "]");
    return true;
}

bool check_usb_port(const std::string& port) {
    QUORIN_LOG(DEBUG, "Checking Windows VID/PID for port:", port);
    if (!port.starts_with(com_prefix)) {
        QUORIN_LOG(DEBUG, "Port name does not start with COM:", port);
        return false;
    }
    // Only checked, not used: the device's registry names its port in full.
    if (std::stoi(port.substr(com_prefix.size())) < first_com_number) {
        QUORIN_LOG(DEBUG, "Invalid COM port number:", port);
        return false;
    }
    const HDEVINFO set = ::SetupDiGetClassDevsA(&ports_class_guid, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        QUORIN_LOG(DEBUG, "Failed to get device information set for ports");
        return false;
    }
    const Device_Info_Set destroyer(set);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        if (device_matches(set, device, port)) return true;
    }
    return false;
}

}  // namespace

std::optional<std::vector<std::string>> registry_ports(HKEY root, const char* key_path, LONG& error) {
    HKEY key = nullptr;
    error = ::RegOpenKeyExA(root, key_path, 0, KEY_READ, &key);
    if (error != ERROR_SUCCESS) return std::nullopt;
    const Registry_Key closer(key);
    std::vector<std::string> ports;
    for (DWORD index = 0;; ++index) {
        char name[registry_buffer_bytes];
        DWORD name_size = sizeof name;
        char data[registry_buffer_bytes];
        DWORD data_size = sizeof data;
        DWORD type = REG_NONE;
        if (::RegEnumValueA(key, index, name, &name_size, nullptr, &type, reinterpret_cast<BYTE*>(data),
                            &data_size) != ERROR_SUCCESS)
            break;
        if (type == REG_SZ) ports.push_back(text_of(data, data_size));
    }
    return ports;
}

bool probe_serial_port(const char* path) {
    const HANDLE handle = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    DCB state{};
    state.DCBlength = sizeof state;
    const bool usable = ::GetCommState(handle, &state) != 0;
    ::CloseHandle(handle);
    return usable;
}

std::vector<std::string> probe_ports() {
    std::vector<std::string> ports;
    for (int number = fallback_probe_first_number; number <= fallback_probe_last_number; ++number) {
        char path[fallback_probe_path_bytes];
        std::snprintf(path, sizeof path, fallback_probe_path_format, number);
        if (!probe_serial_port(path)) continue;
        const std::string name = std::string(com_prefix) + std::to_string(number);
        QUORIN_LOG(DEBUG, "Found COM port (fallback): ", name);
        ports.push_back(name);
    }
    return ports;
}

std::vector<std::string> list_ports() {
    LONG error = ERROR_SUCCESS;
    if (auto ports = registry_ports(HKEY_LOCAL_MACHINE, serial_comm_key, error)) return std::move(*ports);
    QUORIN_LOG(DEBUG, "Failed to open registry key for COM ports (error: ", error, "), using fallback method");
    return probe_ports();
}

bool is_native_usb_port(const std::string& port) noexcept {
    try {
        return check_usb_port(port);
    } catch (const std::exception& error) {
        QUORIN_LOG(DEBUG, "Exception while checking VID/PID for port:", port, "Error:", error.what());
    } catch (...) {
        QUORIN_LOG(DEBUG, "Exception while checking VID/PID for port:", port, "Error:", "unknown");
    }
    return false;
}

}  // namespace Quorin_Core::RT_Serial::Driver
