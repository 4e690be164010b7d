#include <chrono>
#include <ctime>
#include <set>

#include "cmd_line/CMD_Map.hpp"
#include "cmd_line/Console.hpp"
#include "cmd_line/Replies.hpp"
#include "server/Device.hpp"
#include "server/Server.hpp"
#include "cmd_line/Diagnosis_Sources.hpp"
#include "cmd_line/Total_Line.hpp"
#include "utility/Logger.hpp"

namespace Quorin_Core::CMD_Line::Console {
namespace {

using CMD_Line::pdo_channel_count;
using CMD_Line::pdo_channel_totals;
using CMD_Line::sdo_mailbox_totals;
using CMD_Line::total_line;
using CMD_Line::sdo_mailbox_count;

constexpr int lowest_epid = 0;
constexpr int highest_epid = 255;
constexpr float bits_to_megabits = 0.000001f;

struct Requested_Sections {
    bool device = false;
    bool rt_serial = false;
    bool pdo = false;
    bool sdo = false;
    std::set<std::uint8_t> epids;  // ascending, duplicates collapse
};

double percent(float rate) { return static_cast<double>(rate) * 100; }

void append_server_summary(Server& server, std::string& reply) {
    std::vector<std::string> connections;
    server.ctrl_service->list_connections(connections);
    reply.append("[SERVER]\n");
    reply.append("--devices: ").append(std::to_string(server.list_devices().size())).append("\n");
    reply.append("--total control connections: ").append(std::to_string(connections.size())).append("\n");
    reply.append("--pdo channels: ").append(std::to_string(pdo_channel_count(server))).append("\n");
    reply.append("--sdo mailboxes: ").append(std::to_string(sdo_mailbox_count(server))).append("\n");
}

void append_device_section(const Device& device, std::string& reply) {
    reply.append("[DEVICE]\n");
    reply.append("--serial port: ").append(device.session.get_port_name()).append("\n");
    reply.append("--baudrate: ").append(std::to_string(device.session.port_baudrate())).append("\n");
}

void append_link_state(const Device& device, std::string& reply) {
    const auto outage = device.outage();
    if (!outage) {
        reply.append(device.session.port_lost() ? "--link: down\n" : "--link: up\n");
        return;
    }
    const std::tm local = Utility::Logger::local_time(std::chrono::system_clock::to_time_t(outage->since));
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    reply.append("--link: down since ").append(text).append(", reopen attempts failed: ");
    reply.append(std::to_string(outage->failed_reopens)).append("\n");
}

void append_rt_serial_section(const Device& device, std::string& reply) {
    const auto f = device.session.diagnostic();
    reply.append("[RT-SERIAL-OVERVIEW]\n");
    reply.append(str_format("--tx frame/s: %.0f\n", static_cast<double>(f.tx_frames)));
    reply.append(str_format("--rx frame/s: %.0f\n", static_cast<double>(f.rx_frames)));
    reply.append(str_format("--rx frame ok rate: %.2f %%\n", percent(f.rx_frame_ok_rate)));
    reply.append(str_format("--rx error/s: %.0f\n", static_cast<double>(f.rx_errors)));
    reply.append(str_format("--rx error rate: %.2f %%\n", percent(f.rx_error_rate)));
    reply.append(str_format("--tx-rx timeout/s: [%d]\n", static_cast<int>(f.rx_timeouts)));
    reply.append(str_format("--tx-rx timeout rate: %.2f %%\n", percent(f.timeout_rate)));
    reply.append(str_format("--bitrate: %.6f Mbps, tx: %.6f Mbps, rx: %.6f Mbps\n",
                            static_cast<double>((f.tx_bits + f.rx_bits) * bits_to_megabits),
                            static_cast<double>(f.tx_bits * bits_to_megabits),
                            static_cast<double>(f.rx_bits * bits_to_megabits)));
    reply.append(str_format("--unpack ok rate: %.2f %%\n", percent(f.unpack_ok_rate)));
    reply.append(str_format(
        "--rx frame error/s: ok[%d], header[%d], source_id[%d], destination_id[%d], length[%d], crc[%d], "
        "payload[%d]\n",
        static_cast<int>(f.ok), static_cast<int>(f.header), static_cast<int>(f.source_id),
        static_cast<int>(f.destination_id), static_cast<int>(f.length), static_cast<int>(f.crc),
        static_cast<int>(f.payload)));
    append_link_state(device, reply);
    reply.append("[RT-SERIAL-PDO]\n");
    reply.append(str_format("--real rpdo freq: %.0f Hz\n", static_cast<double>(f.rpdo_frequency)));
    reply.append(str_format("--real tpdo freq: %.0f Hz\n", static_cast<double>(f.tpdo_frequency)));
    reply.append(str_format("--tpdo tx-rx ok rate: %.2f %%\n", percent(f.tpdo_ok_rate)));
    reply.append(total_line("--skipped pdo periods: ", device.session.skipped_pdo_periods(), "\n"));
    reply.append("[RT-SERIAL-NRT]\n");
    reply.append(str_format("--nrt tx/s: [%d]\n", static_cast<int>(f.nrt_transfers)));
    reply.append(str_format("--nrt tx-rx ok rate: %.2f %%\n", percent(f.nrt_ok_rate)));
    reply.append("[RT-SERIAL-SDO]\n");
    reply.append(total_line("--tx spb dropped: ", device.tx_queue->dropped(), "\n"));
    reply.append(total_line("--rx spb dropped: ", device.rx_queue->dropped(), "\n"));
    reply.append(total_line("--tx sdo discarded: ", device.session.sdo_discarded_count(), "\n"));
}

void append_pdo_section(const Device& device, Server& server, std::string& reply) {
    reply.append("[PDO-SERVICE]\n");
    const auto counters = pdo_channel_totals(server, device);
    if (!counters) {
        reply.append(failure_line("FAILED to find pdo channel on", device.name));
        return;
    }
    reply.append(total_line("--total rpdo: [", counters->rpdo, "]:\n"));
    reply.append(total_line("--total tpdo: [", counters->tpdo, "]:\n"));
    reply.append(total_line("--total rpdo synced: [", counters->rpdo_synced, "]:\n"));
    reply.append(total_line("--total rpdo bytes: [", counters->rpdo_bytes, "]:\n"));
    reply.append(total_line("--total tpdo bytes: [", counters->tpdo_bytes, "]:\n"));
}

void append_sdo_section(const Device& device, Server& server, const std::set<std::uint8_t>& epids,
                        std::string& reply) {
    reply.append("[SDO-SERVICE]\n");
    const auto totals = sdo_mailbox_totals(server, device);
    if (!totals) {
        reply.append(failure_line("failed to find sdo mailbox on", device.name));
        return;
    }
    for (const auto epid : epids) {
        const auto& link = totals->links[epid];
        reply.append(str_format("--linked id [%02d]:\n", epid));
        reply.append(total_line("----total rx sdo: [", link.rx_sdo, "]:\n"));
        reply.append(total_line("----total tx sdo: [", link.tx_sdo, "]:\n"));
        reply.append(total_line("----total rx sdo bytes: [", link.rx_bytes, "]:\n"));
        reply.append(total_line("----total tx sdo bytes: [", link.tx_bytes, "]:\n"));
    }
    reply.append(total_line("--dropped requests: header[", totals->bad_header, "], "));
    reply.append(total_line("length[", totals->bad_length, "], "));
    reply.append(total_line("too long[", totals->too_long, "], "));
    reply.append(total_line("unlinked sender[", totals->unlinked_sender, "], "));
    reply.append(total_line("link removed[", totals->link_removed, "]\n"));
    reply.append(total_line("--dropped answers: owed to removed link[", totals->owed_answers, "]\n"));
}

// Reads the options after the device name; identifiers follow "-sdo".
CMD_Error parse_sections(const std::vector<std::string>& args, const std::vector<unsigned>& options,
                         Requested_Sections& sections, std::string& reply) {
    for (std::size_t i = 0; i < options.size(); ++i) {
        const std::string& option = args[options[i]];
        if (option == "-dev") {
            sections.device = true;
        } else if (option == "-rts") {
            sections.rt_serial = true;
        } else if (option == "-pdo") {
            sections.pdo = true;
        } else if (option == "-sdo") {
            sections.sdo = true;
            const std::size_t end = i + 1 < options.size() ? options[i + 1] : args.size();
            for (std::size_t id = options[i] + 1; id < end; ++id) {
                int epid = 0;
                const auto result = number_parser(args[id], lowest_epid, highest_epid, epid, reply);
                if (result != CMD_OK) return result;
                sections.epids.insert(static_cast<std::uint8_t>(epid));
            }
        } else {
            return CMD_WRONG_FORMAT;
        }
    }
    return CMD_OK;
}

CMD_Error device_report(const std::vector<std::string>& args, std::string& reply, Server& server) {
    std::string name;
    const auto options = option_parser(args, name);
    if (name.empty()) return CMD_WRONG_FORMAT;
    Requested_Sections sections;
    if (const auto result = parse_sections(args, options, sections, reply); result != CMD_OK) return result;
    const auto device = server.get_device(name);
    if (!device) {
        reply.append(failure_line("FAILED to find device", name));
        return CMD_OK;  // the failure line is the whole reply
    }
    reply.append("--device: ").append(name).append("\n");
    if (sections.device) append_device_section(*device, reply);
    if (sections.rt_serial) append_rt_serial_section(*device, reply);
    if (sections.pdo) append_pdo_section(*device, server, reply);
    if (sections.sdo) append_sdo_section(*device, server, sections.epids, reply);
    return CMD_OK;
}

CMD_Error diagnosis(const std::vector<std::string>& args, std::string& reply, Server& server) {
    if (args.empty()) return CMD_WRONG_FORMAT;
    if (args.size() == 1 && args[0] == "-h") {
        return describe(CMD_Diagnosis, reply);
    }
    try {
        if (args.size() == 1 && args[0] == "-a") {
            append_server_summary(server, reply);
            return CMD_OK;
        }
        return device_report(args, reply, server);
    } catch (const std::exception& error) {
        reply.append(error.what()).append("\r\n");
        return CMD_EXCEPTION;
    }
}

}  // namespace

const CMD CMD_Diagnosis{diagnosis, "Diagnosis operations.",
                        "USAGE: diag <name> <option1> <param1> <option2> <param2>...\n"
                        "        -dev: device diagnosis\n"
                        "        -rts: rt-serial diagnosis\n"
                        "        -pdo: pdo diagnosis\n"
                        "        -sdo <id1><id2>...: sdo diagnosis\n"
                        "        diag -a: server diagnosis"};

}  // namespace Quorin_Core::CMD_Line::Console
