#include "cmd_line/Diagnosis_Sources.hpp"

#include "server/Server.hpp"

namespace Quorin_Core::CMD_Line {

std::size_t pdo_channel_count(Server&) { return 0; }

std::size_t sdo_mailbox_count(Server&) { return 0; }

std::optional<PDO_Channel_Totals> pdo_channel_totals(Server&, const Device&) { return std::nullopt; }

std::optional<std::array<SDO_Link_Totals, 256>> sdo_link_totals(Server&, const Device&) { return std::nullopt; }

}  // namespace Quorin_Core::CMD_Line
