#include "cmd_line/CMD_Map.hpp"
#include "cmd_line/Console.hpp"
#include "cmd_line/Replies.hpp"
#include "server/Device.hpp"
#include "server/Server.hpp"
#include "services/SDO_Mailbox.hpp"

namespace Quorin_Core::CMD_Line::Console {
namespace {

using boost::asio::ip::udp;
using Mailbox = SDO_Service::Mailbox;

/// Bounds of an EPID typed as a number.
constexpr int lowest_epid = 0;
constexpr int highest_epid = 255;

/// What "-o" and "-c" work on: the device, its name and the parameters after the option.
struct Target {
    std::shared_ptr<Device> device;
    const std::string& name;
    std::vector<std::string> params;
};

/// The device's mailbox, made on first use; empty when it can be neither found nor made.
/// A mailbox that another command made meanwhile is found, not refused.
std::shared_ptr<Mailbox> mailbox_of(const Target& target, SDO_Service& service) {
    if (auto mailbox = service.get_mailbox(&target.device->session, 0)) return mailbox;
    service.add_mailbox(target.device->served());
    return service.get_mailbox(&target.device->session, 0);
}

CMD_Error add_link(const Target& target, std::string& reply, Server& server) {
    if (target.params.size() != 2) return CMD_WRONG_FORMAT;
    // The endpoint is checked first: a mistyped command must not use up a mailbox port.
    udp::endpoint endpoint;
    if (const CMD_Error result = str_to_endpoint(target.params[0], target.params[1], endpoint, reply); result != CMD_OK)
        return result;
    std::shared_ptr<Mailbox> mailbox;
    try {
        mailbox = mailbox_of(target, *server.sdo_service);
    } catch (const std::exception& error) {
        reply.append(error.what()).append("\r\n");
        return CMD_EXCEPTION;
    }
    if (!mailbox) return failed(reply, "FAILED to add sdo mailbox on", target.name);
    if (!mailbox->add_link(endpoint)) return failed(reply, "FAILED to add sdo link on", target.name);
    reply.append("OK add sdo link: server ").append(mailbox->local_address()).append(" ");
    reply.append(std::to_string(mailbox->local_port())).append(" client ").append(target.params[0]);
    reply.append(" ").append(target.params[1]).append(" on [").append(target.name).append("]\r\n");
    return CMD_OK;
}

/// The endpoint named by an EPID or by an address and a port.
CMD_Error link_endpoint(const Target& target, const Mailbox& mailbox, udp::endpoint& endpoint, std::string& reply) {
    if (target.params.size() == 2) return str_to_endpoint(target.params[0], target.params[1], endpoint, reply);
    int epid = 0;
    if (const CMD_Error result = number_parser(target.params[0], lowest_epid, highest_epid, epid, reply); result != CMD_OK)
        return result;
    if (!mailbox.get_link(static_cast<unsigned char>(epid), endpoint))
        return failed(reply, "FAILED to find EPID " + target.params[0] + " on", target.name);
    return CMD_OK;
}

CMD_Error remove_link(const Target& target, std::string& reply, Server& server) {
    if (target.params.size() > 2) return CMD_WRONG_FORMAT;
    const auto mailbox = server.sdo_service->get_mailbox(&target.device->session, 0);
    if (!mailbox) return failed(reply, "FAILED to find sdo mailbox on", target.name);
    if (target.params.empty()) {
        mailbox->clear_links();
        reply.append("OK removed all sdo links on [").append(target.name).append("].\r\n");
        return CMD_OK;
    }
    udp::endpoint endpoint;
    if (const CMD_Error result = link_endpoint(target, *mailbox, endpoint, reply); result != CMD_OK) return result;
    if (!mailbox->remove_link(endpoint)) return failed(reply, "FAILED to remove sdo link on", target.name);
    reply.append("OK removed sdo link on [").append(target.name).append("]\r\n");
    return CMD_OK;
}

CMD_Error device_option(const std::vector<std::string>& args, std::string& reply, Server& server) {
    std::string name;
    const auto options = option_parser(args, name);
    if (options.empty()) return CMD_WRONG_FORMAT;
    Target target{server.get_device(name), name, {args.begin() + options.front() + 1, args.end()}};
    if (!target.device) return failed(reply, "FAILED to find device", name);
    const std::string& option = args[options.front()];
    if (option == "-o") return add_link(target, reply, server);
    if (option == "-c") return remove_link(target, reply, server);
    return CMD_WRONG_FORMAT;
}

CMD_Error sdo(const std::vector<std::string>& args, std::string& reply, Server& server) {
    if (args.empty()) return CMD_WRONG_FORMAT;
    try {
        if (args.size() == 1)
            return help_or_remove_all(args[0], CMD_SDO, [&] { server.sdo_service->remove_all_mailboxes(); },
                                      "OK removed all sdo mailboxes", reply);
        return device_option(args, reply, server);
    } catch (const std::exception& error) {
        reply.append(error.what()).append("\r\n");
        return CMD_EXCEPTION;
    }
}

}  // namespace

const CMD CMD_SDO{sdo, "SDO operations.",
                  "USAGE: sdo <name> <option> <param>\n"
                  "        -o <ip, port>: add a sdo link to mailbox\n"
                  "        -c <ip, port / id>: remove a sdo link from mailbox\n"
                  "        sdo -c: remove all sdo mailboxes on all devices"};

}  // namespace Quorin_Core::CMD_Line::Console
