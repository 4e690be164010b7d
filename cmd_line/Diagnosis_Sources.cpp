#include "cmd_line/Diagnosis_Sources.hpp"

#include "server/Device.hpp"
#include "server/Server.hpp"
#include "services/PDO_Channel.hpp"
#include "services/SDO_Mailbox.hpp"

namespace Quorin_Core::CMD_Line {

std::size_t pdo_channel_count(Server& server) { return server.pdo_service->channel_count(); }

std::size_t sdo_mailbox_count(Server& server) { return server.sdo_service->mailbox_count(); }

std::optional<PDO_Channel_Totals> pdo_channel_totals(Server& server, const Device& device) {
    const auto channel = server.pdo_service->get_channel(&device, 0);
    if (!channel) return std::nullopt;
    const auto counters = channel->diagnostics.get_copy();
    return PDO_Channel_Totals{counters.rpdo, counters.tpdo, counters.rpdo_synced, counters.rpdo_bytes,
                              counters.tpdo_bytes};
}

std::optional<std::array<SDO_Link_Totals, 256>> sdo_link_totals(Server& server, const Device& device) {
    const auto mailbox = server.sdo_service->get_mailbox(&device, 0);
    if (!mailbox) return std::nullopt;
    std::array<SDO_Link_Totals, 256> totals;
    for (std::size_t epid = 0; epid < totals.size(); ++epid) {
        const auto counters = mailbox->get_diagnostics(static_cast<unsigned char>(epid));
        totals[epid] = {counters.rx_sdo, counters.tx_sdo, counters.rx_sdo_bytes, counters.tx_sdo_bytes};
    }
    return totals;
}

}  // namespace Quorin_Core::CMD_Line
