#include <boost/asio/ip/udp.hpp>

#include <exception>

#include "cmd_line/CMD_Map.hpp"
#include "cmd_line/Console.hpp"
#include "cmd_line/Replies.hpp"
#include "server/Device.hpp"
#include "server/Server.hpp"
#include "services/PDO_Channel.hpp"

namespace Quorin_Core::CMD_Line::Console {
namespace {

constexpr float min_frequency_hz = 1.0f;
constexpr float max_frequency_hz = 500.0f;

/// The option and the arguments after it.
struct Option_Call {
    const std::string& option;
    std::vector<std::string> params;
};

CMD_Error open_channel(const std::shared_ptr<Device>& device, const std::vector<std::string>& params,
                       std::string& reply, Server& server) {
    if (params.size() != 2) return CMD_WRONG_FORMAT;
    boost::asio::ip::udp::endpoint client;
    if (const auto result = str_to_endpoint(params[0], params[1], client, reply); result != CMD_OK) return result;
    unsigned short port = 0;
    try {
        port = server.pdo_service->add_channel(client, device->served());
    } catch (const std::exception& error) {
        reply.append(error.what()).append("\r\n");
        return CMD_EXCEPTION;
    }
    if (port == 0) {
        return failed(reply, "FAILED to open pdo channel on", device->name);
    }
    reply.append("OK opened pdo channel: server 0.0.0.0 ").append(std::to_string(port));
    reply.append(" client ").append(params[0]).append(" ").append(params[1]);
    reply.append(" on [").append(device->name).append("]\r\n");
    return CMD_OK;
}

CMD_Error close_channel(const Device& device, std::string& reply, Server& server) {
    if (!server.pdo_service->remove_channel(&device.session, 0)) {
        return failed(reply, "FAILED to close pdo channel on", device.name);
    }
    reply.append("OK closed pdo channel on [").append(device.name).append("]\r\n");
    return CMD_OK;
}

/// "-e" and "-d" act on the session, but only for a device that has its channel.
CMD_Error switch_transmission(Device& device, bool enable, std::string& reply, Server& server) {
    if (!server.pdo_service->get_channel(&device.session, 0)) {
        return failed(reply, "FAILED to find pdo channel on", device.name);
    }
    if (enable) {
        device.session.enable_pdo();
        reply.append("OK enabled pdo transmission on [");
    } else {
        device.session.disable_pdo();
        reply.append("OK disabled pdo transmission on [");
    }
    reply.append(device.name).append("]\r\n");
    return CMD_OK;
}

CMD_Error set_frequency(Device& device, const std::vector<std::string>& params, std::string& reply) {
    if (params.size() != 1 && params.size() != 3) return CMD_WRONG_FORMAT;
    float frequency = 0.0f;
    // A frequency that is not a number is answered as out of range, and nothing changes.
    const auto parsed = number_parser<float>(params[0], min_frequency_hz, max_frequency_hz, frequency, reply);
    if (parsed != CMD_OK) return parsed;
    if (params.size() == 3) return CMD_WRONG_FORMAT;  // no command sets the offsets
    // The session keeps its period while PDO runs: say so instead of answering OK.
    if (device.session.is_pdo_enabled()) {
        reply.append("FAILED to set pdo freq on [").append(device.name).append("] while pdo transmission is enabled\r\n");
        return CMD_FAILED;
    }
    device.session.set_pdo_config(frequency);
    reply.append("OK set pdo freq ").append(str_format("%f", static_cast<double>(frequency)));
    reply.append(" Hz on [").append(device.name).append("]\r\n");
    return CMD_OK;
}

CMD_Error device_option(const std::shared_ptr<Device>& device, const Option_Call& call, std::string& reply,
                        Server& server) {
    const auto& option = call.option;
    if (option == "-o") return open_channel(device, call.params, reply, server);
    if (option == "-f") return set_frequency(*device, call.params, reply);
    if (!call.params.empty()) return CMD_WRONG_FORMAT;
    if (option == "-c") return close_channel(*device, reply, server);
    if (option == "-e") return switch_transmission(*device, true, reply, server);
    if (option == "-d") return switch_transmission(*device, false, reply, server);
    return CMD_WRONG_FORMAT;
}

CMD_Error pdo(const std::vector<std::string>& args, std::string& reply, Server& server) {
    if (args.empty()) return CMD_WRONG_FORMAT;
    if (args.size() == 1)
        return help_or_remove_all(args[0], CMD_PDO, [&] { server.pdo_service->remove_all_channels(); },
                                  "OK removed all pdo channels", reply);
    std::string name;
    const auto options = option_parser(args, name);
    if (options.empty()) return CMD_WRONG_FORMAT;
    const auto device = server.get_device(name);
    if (!device) {
        return failed(reply, "FAILED to find device", name);
    }
    const auto at = options.front();
    const Option_Call call{args[at], {args.begin() + at + 1, args.end()}};
    return device_option(device, call, reply, server);
}

}  // namespace

const CMD CMD_PDO{pdo, "PDO operations.",
                  "USAGE: pdo <device_name> <option> <param>\n"
                  "        -o <ip, port>: open a pdo channel\n"
                  "        -c: close a pdo channel\n"
                  "        -e: enable pdo transmission\n"
                  "        -d: disable pdo transmission\n"
                  "        -f <freq>: set pdo freq\n"
                  "        -f <freq> <tpdo_offset_ns> <rpdo_offset_ns>: set pdo freq, tpdo offset, rpdo offset\n"
                  "        pdo -c: close all pdo channels on all devices"};

}  // namespace Quorin_Core::CMD_Line::Console
