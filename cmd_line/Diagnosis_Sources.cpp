#include "cmd_line/Diagnosis_Sources.hpp"

#include "server/Device.hpp"
#include "server/Server.hpp"
#include "services/PDO_Channel.hpp"
#include "services/SDO_Mailbox.hpp"

namespace Quorin_Core::CMD_Line {

std::size_t pdo_channel_count(Server& server) { return server.pdo_service->channel_count(); }

std::size_t sdo_mailbox_count(Server& server) { return server.sdo_service->mailbox_count(); }

std::optional<PDO_Channel_Totals> pdo_channel_totals(Server& server, const Device& device) {
    const auto channel = server.pdo_service->get_channel(&device.session, 0);
    if (!channel) return std::nullopt;
    const auto counters = channel->diagnostics.get_copy();
    return PDO_Channel_Totals{counters.rpdo, counters.tpdo, counters.rpdo_synced, counters.rpdo_bytes,
                              counters.tpdo_bytes};
}

std::optional<SDO_Mailbox_Totals> sdo_mailbox_totals(Server& server, const Device& device) {
    using Drop = SDO_Service::Mailbox::Drop;
    const auto mailbox = server.sdo_service->get_mailbox(&device.session, 0);
    if (!mailbox) return std::nullopt;
    SDO_Mailbox_Totals totals;
    for (std::size_t epid = 0; epid < totals.links.size(); ++epid) {
        const auto counters = mailbox->get_diagnostics(static_cast<unsigned char>(epid));
        totals.links[epid] = {counters.rx_sdo, counters.tx_sdo, counters.rx_sdo_bytes, counters.tx_sdo_bytes};
    }
    const auto drops = mailbox->drop_counts();
    const auto count = [&drops](Drop kind) { return drops[static_cast<std::size_t>(kind)]; };
    totals.bad_header = count(Drop::bad_header);
    totals.bad_length = count(Drop::bad_length);
    totals.too_long = count(Drop::too_long);
    totals.unlinked_sender = count(Drop::unlinked_sender);
    totals.link_removed = count(Drop::link_removed);
    totals.owed_answers = count(Drop::owed_answer);
    return totals;
}

}  // namespace Quorin_Core::CMD_Line
