#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "rt_serial/driver/Port_Discovery.hpp"

// The Windows side of port discovery, with the registry key as a parameter so that tests
// read a key of their own. The argument-less functions of Port_Discovery.hpp use the
// system's key under HKEY_LOCAL_MACHINE.
namespace Quorin_Core::RT_Serial::Driver {

/// The key under HKEY_LOCAL_MACHINE whose string values name the serial ports.
inline constexpr const char* serial_comm_key = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
/// Capacity of the value name and of the value data read from that key, in bytes; a value
/// that does not fit ends the enumeration.
inline constexpr DWORD registry_buffer_bytes = 256;
/// The fallback probe's device path for a port number.
inline constexpr const char* fallback_probe_path_format = "\\\\.\\COM%d";
/// Capacity of the probe's path buffer, in bytes.
inline constexpr std::size_t fallback_probe_path_bytes = 64;

/// The data of each plain string (REG_SZ) value of `key_path` under `root`, up to its first
/// zero byte, in enumeration order; values of other types are skipped. Nothing, with
/// `error` set to the system's code, when the key cannot be opened for reading.
std::optional<std::vector<std::string>> registry_ports(HKEY root, const char* key_path, LONG& error);

/// Tries "\\.\COM1" to "\\.\COM256" and returns "COM<n>" for each that probe_serial_port accepts.
std::vector<std::string> probe_ports();

/// True when `path` opens for reading and writing without sharing (so a port that another
/// holder has open fails) and reports its communication state. Closes the handle in every case.
bool probe_serial_port(const char* path);

}  // namespace Quorin_Core::RT_Serial::Driver
