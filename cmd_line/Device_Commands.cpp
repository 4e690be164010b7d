#include "cmd_line/CMD_Map.hpp"
#include "cmd_line/Console.hpp"
#include "cmd_line/Replies.hpp"
#include "server/Device.hpp"
#include "server/Server.hpp"

namespace Quorin_Core::CMD_Line::Console {
namespace {

CMD_Error bind(const std::vector<std::string>& args, std::string& reply, Server& server) {
    if (args.size() != 2) return CMD_WRONG_FORMAT;
    const std::string& name = args[0];
    const std::string& port = args[1];
    try {
        if (!server.bind_device(name, port)) {
            return failed(reply, "FAILED to bind device", name);
        }
    } catch (const std::exception& error) {
        reply.append(error.what()).append("\r\n");
        return CMD_EXCEPTION;
    }
    reply.append("OK bind device [").append(name).append("] to port [").append(port).append("]\r\n");
    return CMD_OK;
}

CMD_Error open_device(Device& device, std::string& reply) {
    // open() logs the warning itself when the session already runs, and throws when a lost port does not reopen.
    if (!device.open()) return CMD_EXCEPTION;
    reply.append("OK opened device [").append(device.name).append("]\r\n");
    return CMD_OK;
}

CMD_Error close_device(Device& device, std::string& reply) {
    device.close();
    reply.append("OK closed device [").append(device.name).append("]\r\n");
    return CMD_OK;
}

CMD_Error delete_device(const Device& device, std::string& reply, Server& server) {
    // The channel and the mailbox go first, each under its own service's lock, then the table entry.
    server.pdo_service->remove_channel(&device.session, 0);
    server.sdo_service->remove_mailbox(&device.session, 0);
    const std::string& name = device.name;
    if (!server.unbind_device(name)) {
        reply.append(failure_line("FAILED to unbind device", name));
        return CMD_EXCEPTION;
    }
    reply.append("OK destroyed device [").append(name).append("]\r\n");
    return CMD_OK;
}

CMD_Error device_option(const std::string& option, const std::string& name, std::string& reply, Server& server) {
    // The name is looked up first: an unknown device is reported whatever the option.
    const auto device = server.get_device(name);
    if (!device) {
        return failed(reply, "FAILED to find device", name);
    }
    if (option == "-o") return open_device(*device, reply);
    if (option == "-c") return close_device(*device, reply);
    if (option == "-d") return delete_device(*device, reply, server);
    return CMD_WRONG_FORMAT;
}

CMD_Error device(const std::vector<std::string>& args, std::string& reply, Server& server) {
    if (args.empty()) return CMD_WRONG_FORMAT;
    if (args.size() == 1) {
        if (args[0] != "-h") return CMD_WRONG_FORMAT;
        return describe(CMD_Device, reply);
    }
    std::string name;
    const auto options = option_parser(args, name);
    // Only the first option counts, and nothing may follow it.
    if (options.empty() || options.front() + 1 != args.size()) return CMD_WRONG_FORMAT;
    try {
        return device_option(args[options.front()], name, reply, server);
    } catch (const std::exception& error) {
        reply.append(error.what()).append("\r\n");
        return CMD_EXCEPTION;
    }
}

}  // namespace

const CMD CMD_Bind{bind, "Create a device and bind to a specified serial port.",
                   "USAGE: bind <device_name> <port_name>"};
const CMD CMD_Device{device, "Device operations.",
                     "USAGE: dev <device_name> <option> <param>\n"
                     "            -d: delete a device\n"
                     "            -o: open a device\n"
                     "            -c: close a device"};

}  // namespace Quorin_Core::CMD_Line::Console
