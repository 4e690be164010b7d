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

/// Number of open PDO channels.
std::size_t pdo_channel_count(Server& server);
/// Number of open SDO mailboxes.
std::size_t sdo_mailbox_count(Server& server);
/// The totals of the device's PDO channel; nothing when it has none.
std::optional<PDO_Channel_Totals> pdo_channel_totals(Server& server, const Device& device);
/// The per-EPID totals of the device's SDO mailbox, by EPID; nothing when it has none.
std::optional<std::array<SDO_Link_Totals, 256>> sdo_link_totals(Server& server, const Device& device);

}  // namespace Quorin_Core::CMD_Line
