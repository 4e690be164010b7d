#include "cmd_line/Diagnosis_Sources.hpp"

#include "server/Device.hpp"
#include "server/Server.hpp"
#include "services/PDO_Channel.hpp"

namespace Quorin_Core::CMD_Line {

std::size_t pdo_channel_count(Server& server) { return server.pdo_service->channel_count(); }

std::size_t sdo_mailbox_count(Server&) { return 0; }

std::optional<PDO_Channel_Totals> pdo_channel_totals(Server& server, const Device& device) {
    const auto channel = server.pdo_service->get_channel(&device, 0);
    if (!channel) return std::nullopt;
    const auto counters = channel->diagnostics.get_copy();
    return PDO_Channel_Totals{counters.rpdo, counters.tpdo, counters.rpdo_synced, counters.rpdo_bytes,
                              counters.tpdo_bytes};
}

std::optional<std::array<SDO_Link_Totals, 256>> sdo_link_totals(Server&, const Device&) { return std::nullopt; }

}  // namespace Quorin_Core::CMD_Line
