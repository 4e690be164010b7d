#include "cmd_line/CMD_Map.hpp"

namespace Quorin_Core::CMD_Line {

using namespace Console;

const std::unordered_map<std::string, const CMD*> CMD_Map{
    {"help", &CMD_Help},
    {"lsport", &CMD_List_Ports},
    {"lsdev", &CMD_List_Devices},
    {"lsbind", &CMD_List_Binds},
    {"lsctrl", &CMD_List_Ctrl_Connections},
    {"lspdo", &CMD_List_PDO_Channels},
    {"lssdo", &CMD_List_SDO_Mailboxes},
    {"bind", &CMD_Bind},
    {"dev", &CMD_Device},
    {"pdo", &CMD_PDO},
    {"sdo", &CMD_SDO},
    {"diag", &CMD_Diagnosis},
};

}  // namespace Quorin_Core::CMD_Line
