#include "fuzz/Reply_Grammar.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <cstring>
#include <map>

namespace Quorin_Fuzz {
namespace {

struct Entry {
    const char* description;
    const char* usage;
    const char* listing_key;  // the JSON member a listing answers with; null for other commands
};

const std::map<std::string, Entry> entries{
    {"bind", {"Create a device and bind to a specified serial port.", "USAGE: bind <device_name> <port_name>", nullptr}},
    {"dev",
     {"Device operations.",
      "USAGE: dev <device_name> <option> <param>\n            -d: delete a device\n            -o: open a device\n"
      "            -c: close a device",
      nullptr}},
    {"diag",
     {"Diagnosis operations.",
      "USAGE: diag <name> <option1> <param1> <option2> <param2>...\n        -dev: device diagnosis\n"
      "        -rts: rt-serial diagnosis\n        -pdo: pdo diagnosis\n        -sdo <id1><id2>...: sdo diagnosis\n"
      "        diag -a: server diagnosis",
      nullptr}},
    {"help", {"Display available commands and their usage.", "USAGE: help", nullptr}},
    {"lsbind", {"List device binds.", "USAGE: lsbind", "binds"}},
    {"lsctrl", {"List control connections.", "USAGE: lsctrl", "connections"}},
    {"lsdev", {"List devices.", "USAGE: lsdev", "devices"}},
    {"lspdo", {"List pdo channels.", "USAGE: lspdo", "channels"}},
    {"lsport", {"List available ports.", "USAGE: lsport", "ports"}},
    {"lssdo", {"List sdo mailboxes.", "USAGE: lssdo", "mailboxes"}},
    {"pdo",
     {"PDO operations.",
      "USAGE: pdo <device_name> <option> <param>\n        -o <ip, port>: open a pdo channel\n"
      "        -c: close a pdo channel\n        -e: enable pdo transmission\n        -d: disable pdo transmission\n"
      "        -f <freq>: set pdo freq\n"
      "        -f <freq> <tpdo_offset_ns> <rpdo_offset_ns>: set pdo freq, tpdo offset, rpdo offset\n"
      "        pdo -c: close all pdo channels on all devices",
      nullptr}},
    {"sdo",
     {"SDO operations.",
      "USAGE: sdo <name> <option> <param>\n        -o <ip, port>: add a sdo link to mailbox\n"
      "        -c <ip, port / id>: remove a sdo link from mailbox\n        sdo -c: remove all sdo mailboxes on all devices",
      nullptr}},
};

const std::array<const char*, 5> overrange_reasons{"stoi\r\n", "stof\r\n", "value must be between 0 and 255\r\n",
                                                   "value must be between 1.000000 and 500.000000\r\n",
                                                   "port must be <0-65535>\r\n"};

std::string help_listing() {
    std::string listing = "Available commands:\n";
    for (const auto& [name, entry] : entries)  // std::map: byte-wise order
        listing.append("[").append(name).append("]: ").append(entry.description).append("\n").append(entry.usage).append("\n\n");
    return listing;
}

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

/// One line ended by "\r\n" with no other line end in it.
bool is_one_line(const std::string& text) {
    return ends_with(text, "\r\n") && text.find('\n') == text.size() - 1 && text.find('\r') == text.size() - 2;
}

/// `reply` is at most one line saying why, then `block`.
bool is_reason_then(const std::string& reply, const std::string& block) {
    if (!ends_with(reply, block)) return false;
    const std::string reason = reply.substr(0, reply.size() - block.size());
    return reason.empty() || is_one_line(reason);
}

bool is_error_block(const std::string& reply, const Entry& entry) {
    const std::string usage = entry.usage, head = std::string(entry.description) + "\r\n" + usage + "\r\n";
    if (is_reason_then(reply, usage + "\r\n>-WRONG FORMAT\r\n")) return true;
    if (is_reason_then(reply, head + ">-EXCEPTION\r\n")) return true;
    if (!ends_with(reply, head + ">-OVERRANGE\r\n")) return false;
    const std::string reason = reply.substr(0, reply.size() - head.size() - std::strlen(">-OVERRANGE\r\n"));
    for (const char* known : overrange_reasons)
        if (reason == known) return true;
    return false;
}

bool is_listing(const std::string& reply, const char* key) {
    if (!is_one_line(reply)) return false;
    const auto document = nlohmann::json::parse(reply.substr(0, reply.size() - 2), nullptr, false);
    if (!document.is_object() || document.size() != 1 || !document.contains(key)) return false;
    const auto& records = document.at(key);
    if (!records.is_array()) return false;
    for (const auto& record : records)
        if (!record.is_string()) return false;
    return true;
}

bool is_number_line(const std::string& line, const std::string& label) {
    if (line.rfind(label, 0) != 0 || line.size() == label.size()) return false;
    return line.find_first_not_of("0123456789", label.size()) == std::string::npos;
}

bool is_server_summary(const std::string& reply) {
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = reply.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(reply.substr(at, end - at));
    return ends_with(reply, "\n") && lines.size() == 5 && lines[0] == "[SERVER]" && is_number_line(lines[1], "--devices: ") &&
           is_number_line(lines[2], "--total control connections: ") && is_number_line(lines[3], "--pdo channels: ") &&
           is_number_line(lines[4], "--sdo mailboxes: ");
}

/// "--device: NAME", then the requested sections in their fixed order, each line a figure.
bool is_device_report(const std::string& reply, const std::string& name) {
    const std::string first = "--device: " + name + "\n";
    if (reply.rfind(first, 0) != 0 || !ends_with(reply, "\n")) return false;
    static const std::array<const char*, 7> headers{"[DEVICE]", "[RT-SERIAL-OVERVIEW]", "[RT-SERIAL-PDO]", "[RT-SERIAL-NRT]",
                                                    "[RT-SERIAL-SDO]", "[PDO-SERVICE]", "[SDO-SERVICE]"};
    std::size_t next_header = 0;
    for (std::size_t at = first.size(), end; at < reply.size(); at = end + 1) {
        end = reply.find('\n', at);
        const std::string line = reply.substr(at, end - at);
        std::size_t header = next_header;
        while (header < headers.size() && line != headers[header]) ++header;
        if (header < headers.size()) {
            next_header = header + 1;
        } else if (line == "FAILED to find pdo channel on [" + name + "]\r") {
            if (next_header != 6) return false;
        } else if (line == "failed to find sdo mailbox on [" + name + "]\r") {
            if (next_header != 7) return false;
        } else if (line.rfind("--", 0) != 0 || line.find('\r') != std::string::npos || next_header == 0) {
            return false;
        }
    }
    return true;
}

/// The name `option_parser` makes: the arguments before the first that begins with "-".
std::string device_name(const std::vector<std::string>& args) {
    std::string name;
    for (const std::string& arg : args) {
        if (arg.starts_with('-')) break;
        name.append(name.empty() ? "" : " ").append(arg);
    }
    return name;
}

bool is_diagnosis(const std::string& reply, const std::vector<std::string>& args) {
    if (args.size() == 1 && args[0] == "-a") return is_server_summary(reply);
    const std::string name = device_name(args);
    return reply == "FAILED to find device [" + name + "]\r\n" || is_device_report(reply, name);
}

}  // namespace

std::vector<std::string> tokens(const std::string& line) {
    static const char* const separators = " \t\n\r\v\f";
    std::vector<std::string> found;
    for (std::size_t at = line.find_first_not_of(separators); at != std::string::npos;) {
        const std::size_t end = line.find_first_of(separators, at);
        found.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? end : line.find_first_not_of(separators, end);
    }
    return found;
}

std::string reply_fault(const std::string& line, const std::string& reply) {
    std::vector<std::string> args = tokens(line);
    const std::string name = args.empty() ? std::string() : args.front();
    if (!args.empty()) args.erase(args.begin());
    static const std::string listing = help_listing();
    const auto found = entries.find(name);
    if (found == entries.end())
        return reply == (args.empty() ? listing : std::string()) + ">-UNKNOWN COMMAND\r\n" ? "" : "not the unknown-command reply";
    const Entry& entry = found->second;
    if (is_error_block(reply, entry)) return "";
    if (name == "help") return reply == listing ? "" : "not the help listing";
    const std::string failed_end = ">-FAILED\r\n";
    if (reply.starts_with("FAILED ") && ends_with(reply, failed_end) && is_one_line(reply.substr(0, reply.size() - failed_end.size())))
        return "";
    if (entry.listing_key) return is_listing(reply, entry.listing_key) ? "" : "not a listing";
    if (reply == std::string(entry.description) + "\r\n" + entry.usage + "\r\n" && args.size() == 1 && args[0] == "-h") return "";
    if (name == "diag") return is_diagnosis(reply, args) ? "" : "not a diagnosis";
    return is_one_line(reply) && reply.starts_with("OK ") ? "" : "no reply form of " + name;
}

}  // namespace Quorin_Fuzz
