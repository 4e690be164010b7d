// quorin-sdo-client: links itself to a device's SDO mailbox, sends one request and prints
// the answer. An example of the SDO protocol as a client sees it.
#include <charconv>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "Sdo_Client.hpp"

namespace {

constexpr std::uint16_t default_control_port = 50000;
constexpr int default_timeout_ms = 1000;
/// The request sent when none is given: a 6-byte message (header 0x61, EPID byte 4).
const Quorin_Tools::Sdo_Client::Bytes default_request{0x61, 0x00, 0x00, 0x00, 0x00, 0x00};

struct Arguments {
    std::string host = "127.0.0.1";
    std::uint16_t control_port = default_control_port;
    int timeout_ms = default_timeout_ms;
    std::string device;
    Quorin_Tools::Sdo_Client::Bytes request;
};

void usage() {
    std::cerr << "usage: quorin-sdo-client [--host ADDRESS] [--control-port PORT] [--timeout-ms MS]\n"
                 "                         DEVICE [REQUEST-BYTE-IN-HEX...]\n"
                 "Links this client to DEVICE's SDO mailbox, sends the request (default: 61 00 00 00 00 00)\n"
                 "and prints the answer. The server writes the client's EPID into byte 4.\n";
}

template <typename Number>
bool parse_number(const std::string& text, Number& value, int base = 10) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc() && end == text.data() + text.size();
}

bool parse_arguments(int argc, char** argv, Arguments& arguments) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--host" && has_value) {
            arguments.host = argv[++i];
        } else if (arg == "--control-port" && has_value) {
            if (!parse_number(argv[++i], arguments.control_port)) return false;
        } else if (arg == "--timeout-ms" && has_value) {
            if (!parse_number(argv[++i], arguments.timeout_ms)) return false;
        } else if (arguments.device.empty() && !arg.starts_with("-")) {
            arguments.device = arg;
        } else {
            std::uint8_t byte = 0;
            if (arguments.device.empty() || !parse_number(arg, byte, 16)) return false;
            arguments.request.push_back(byte);
        }
    }
    if (arguments.request.empty()) arguments.request = default_request;
    return !arguments.device.empty();
}

std::string hex(const Quorin_Tools::Sdo_Client::Bytes& bytes) {
    std::string text;
    char piece[4];
    for (const auto byte : bytes) {
        std::snprintf(piece, sizeof piece, "%02x ", byte);
        text += piece;
    }
    if (!text.empty()) text.pop_back();
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments arguments;
    if (!parse_arguments(argc, argv, arguments)) {
        usage();
        return 2;
    }
    try {
        Quorin_Tools::Sdo_Client client(arguments.host, arguments.control_port);
        client.link(arguments.device);
        std::cout << "linked " << client.local() << " to mailbox port " << client.mailbox() << "\n";
        client.send(arguments.request);
        std::cout << "request (" << arguments.request.size() << " bytes): " << hex(arguments.request) << "\n";
        const auto answer = client.receive(std::chrono::milliseconds(arguments.timeout_ms));
        if (!answer) {
            std::cout << "no answer within " << arguments.timeout_ms << " ms\n";
            return 1;
        }
        std::cout << "answer (" << answer->size() << " bytes, EPID " << (answer->size() > 4 ? unsigned{(*answer)[4]} : 0u)
                  << "): " << hex(*answer) << "\n";
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "quorin-sdo-client: " << error.what() << "\n";
        return 1;
    }
}
