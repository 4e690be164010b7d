#include "cmd_line/CMD_Map.hpp"
#include "cmd_line/Console.hpp"
#include "cmd_line/Json_Listing.hpp"
#include "cmd_line/Replies.hpp"
#include "server/Device.hpp"
#include "server/Server.hpp"
#include "services/SDO_Mailbox.hpp"

namespace Quorin_Core::CMD_Line::Console {
namespace {

constexpr const char* listing_key = "mailboxes";

/// Every mailbox with its local entry and links; an empty listing answers its empty form and 1.
CMD_Error list_all_mailboxes(std::string& reply, Server& server) {
    std::vector<std::string> records;
    server.sdo_service->list_mailboxes(records);
    reply = json_listing(listing_key, records);
    return records.empty() ? CMD_UNKNOWN_COMMAND : CMD_OK;
}

/// The links of one device's mailbox; an empty listing is still CMD_OK here.
CMD_Error list_device_links(const std::vector<std::string>& args, std::string& reply, Server& server) {
    std::string name;
    if (!option_parser(args, name).empty() || name.empty()) return CMD_WRONG_FORMAT;
    const auto device = server.get_device(name);
    if (!device) {
        return failed(reply, "FAILED to find device", name);
    }
    const auto mailbox = server.sdo_service->get_mailbox(&device->session, 0);
    if (!mailbox) {
        return failed(reply, "FAILED to find sdo mailbox on", name);
    }
    std::vector<std::string> records;
    mailbox->list_links(records, false);
    reply = json_listing(listing_key, records);
    return CMD_OK;
}

CMD_Error list_sdo_mailboxes(const std::vector<std::string>& args, std::string& reply, Server& server) {
    try {
        return args.empty() ? list_all_mailboxes(reply, server) : list_device_links(args, reply, server);
    } catch (const std::exception& error) {
        reply.append(error.what()).append("\r\n");
        return CMD_EXCEPTION;
    }
}

}  // namespace

const CMD CMD_List_SDO_Mailboxes{list_sdo_mailboxes, "List sdo mailboxes.", "USAGE: lssdo"};

}  // namespace Quorin_Core::CMD_Line::Console
