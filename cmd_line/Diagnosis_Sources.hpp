#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace Quorin_Core {
class Device;
class Server;
}  // namespace Quorin_Core

namespace Quorin_Core::CMD_Line {

/// A PDO channel's totals as the diagnosis prints them.
struct PDO_Channel_Totals {
    std::uint64_t rpdo = 0;
    std::uint64_t tpdo = 0;
    std::uint64_t rpdo_synced = 0;
    std::uint64_t rpdo_bytes = 0;
    std::uint64_t tpdo_bytes = 0;
};

/// One EPID's SDO totals as the diagnosis prints them.
struct SDO_Link_Totals {
    std::uint64_t rx_sdo = 0;
    std::uint64_t tx_sdo = 0;
    std::uint64_t rx_bytes = 0;
    std::uint64_t tx_bytes = 0;
};

/// An SDO mailbox's totals as the diagnosis prints them: per EPID, and what it dropped.
struct SDO_Mailbox_Totals {
    std::array<SDO_Link_Totals, 256> links;
    std::uint64_t bad_header = 0;       ///< requests with a header byte no request has
    std::uint64_t bad_length = 0;       ///< requests shorter than 6 bytes or not one message
    std::uint64_t too_long = 0;         ///< 0xF0 requests beyond 1014 bytes
    std::uint64_t unlinked_sender = 0;  ///< requests from clients not linked
    std::uint64_t link_removed = 0;     ///< requests taken back when their link was removed
    std::uint64_t owed_answers = 0;     ///< answers owed to removed links
};

/// Number of open PDO channels.
std::size_t pdo_channel_count(Server& server);
/// Number of open SDO mailboxes.
std::size_t sdo_mailbox_count(Server& server);
/// The totals of the device's PDO channel; nothing when it has none.
std::optional<PDO_Channel_Totals> pdo_channel_totals(Server& server, const Device& device);
/// The totals of the device's SDO mailbox; nothing when it has none.
std::optional<SDO_Mailbox_Totals> sdo_mailbox_totals(Server& server, const Device& device);

}  // namespace Quorin_Core::CMD_Line
