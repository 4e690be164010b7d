#pragma once

#include <string>
#include <unordered_map>

#include "cmd_line/CMD.hpp"

namespace Quorin_Core::CMD_Line {

/// The command table: name to entry. Filled at static initialisation, read-only after,
/// so lookups from the console and the control thread need no lock.
extern const std::unordered_map<std::string, const Console::CMD*> CMD_Map;

namespace Console {
extern const CMD CMD_Help;
extern const CMD CMD_List_Ports;
extern const CMD CMD_List_Devices;
extern const CMD CMD_List_Binds;
extern const CMD CMD_List_Ctrl_Connections;
extern const CMD CMD_List_PDO_Channels;
extern const CMD CMD_List_SDO_Mailboxes;
extern const CMD CMD_Bind;
extern const CMD CMD_Device;
extern const CMD CMD_PDO;
extern const CMD CMD_SDO;
extern const CMD CMD_Diagnosis;
}  // namespace Console

}  // namespace Quorin_Core::CMD_Line
