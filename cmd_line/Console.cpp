#include "cmd_line/Console.hpp"

#include <boost/asio/ip/address.hpp>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "cmd_line/CMD_Map.hpp"

namespace Quorin_Core::CMD_Line::Console {
namespace {

constexpr std::size_t str_format_buffer_size = 4096;
constexpr unsigned highest_port = 65535;

void append_error_reply(const CMD& entry, CMD_Error result, std::string& reply) {
    switch (result) {
        case CMD_WRONG_FORMAT:
            reply.append(entry.usage).append("\r\n>-WRONG FORMAT\r\n");
            break;
        case CMD_OVERRANGE:
            reply.append(entry.description).append("\r\n").append(entry.usage);
            reply.append("\r\n>-OVERRANGE\r\n");
            break;
        case CMD_EXCEPTION:
            reply.append(entry.description).append("\r\n").append(entry.usage);
            reply.append("\r\n>-EXCEPTION\r\n");
            break;
        case CMD_FAILED:
            reply.append(">-FAILED\r\n");
            break;
        default:
            break;
    }
}

template <typename Number>
Number convert(const std::string& text);
template <>
int convert<int>(const std::string& text) {
    return std::stoi(text);
}
template <>
float convert<float>(const std::string& text) {
    return std::stof(text);
}

/// Converts `text` into `number`; the conversion's own text ("stoi", "stof") and CMD_WRONG_FORMAT
/// when there is no number, CMD_OVERRANGE when it does not fit the type.
template <typename Number>
CMD_Error convert_or_reply(const std::string& text, Number& number, std::string& reply) {
    try {
        number = convert<Number>(text);
        return CMD_OK;
    } catch (const std::invalid_argument& error) {
        reply.append(error.what()).append("\r\n");
        return CMD_WRONG_FORMAT;
    } catch (const std::out_of_range& error) {
        reply.append(error.what()).append("\r\n");
        return CMD_OVERRANGE;
    }
}

template <typename Number>
bool is_not_a_number(Number value) {
    if constexpr (std::is_floating_point_v<Number>) return std::isnan(value);
    return false;
}

}  // namespace

std::pair<std::string, std::vector<std::string>> str_split(const std::string& line) {
    std::istringstream stream(line);
    std::string name;
    stream >> name;
    std::vector<std::string> args;
    for (std::string token; stream >> token;) args.push_back(std::move(token));
    return {std::move(name), std::move(args)};
}

void cmd_parser(const std::string& line, std::string& reply, Server& server) {
    auto [name, args] = str_split(line);
    const auto found = CMD_Map.find(name);
    if (found == CMD_Map.end()) {
        CMD_Help.handler(args, reply, server);
        reply.append(">-UNKNOWN COMMAND\r\n");
        return;
    }
    const CMD& entry = *found->second;
    CMD_Error result;
    try {
        result = entry.handler(args, reply, server);
    } catch (...) {
        // Handlers catch their own failures; this is the last guard for the caller's loop.
        result = CMD_EXCEPTION;
    }
    append_error_reply(entry, result, reply);
}

std::vector<unsigned> option_parser(const std::vector<std::string>& args, std::string& name) {
    std::vector<unsigned> positions;
    for (unsigned i = 0; i < args.size(); ++i) {
        if (!args[i].empty() && args[i].front() == '-') {
            positions.push_back(i);
        } else if (positions.empty()) {
            name.append(args[i]).append(" ");
        }
    }
    if (!name.empty()) name.pop_back();
    return positions;
}

template <typename Number>
CMD_Error number_parser(const std::string& text, Number minimum, Number maximum, Number& value,
                        std::string& reply) {
    Number number{};
    if (const CMD_Error result = convert_or_reply(text, number, reply); result != CMD_OK) return result;
    const auto range_line = "value must be between " + std::to_string(minimum) + " and " +
                            std::to_string(maximum) + "\r\n";
    // "nan" converts, yet every comparison with it is false: it is no value in any range.
    if (is_not_a_number(number)) {
        reply.append(range_line);
        return CMD_OVERRANGE;
    }
    value = number;
    if (number < minimum || number > maximum) {
        reply.append(range_line);
        return CMD_OVERRANGE;
    }
    return CMD_OK;
}

template CMD_Error number_parser<int>(const std::string&, int, int, int&, std::string&);
template CMD_Error number_parser<float>(const std::string&, float, float, float&, std::string&);

CMD_Error str_to_endpoint(const std::string& address, const std::string& port,
                          boost::asio::ip::udp::endpoint& endpoint, std::string& reply) {
    int port_number = 0;
    if (const CMD_Error result = convert_or_reply(port, port_number, reply); result != CMD_OK) return result;
    if (static_cast<unsigned>(port_number) > highest_port) {
        reply.append("port must be <0-65535>\r\n");
        return CMD_OVERRANGE;
    }
    boost::system::error_code error;
    const auto ip = boost::asio::ip::make_address(address, error);
    if (error) {
        reply.append(error.message()).append("\r\n");
        return CMD_WRONG_FORMAT;
    }
    endpoint = boost::asio::ip::udp::endpoint(ip, static_cast<unsigned short>(port_number));
    return CMD_OK;
}

std::string str_format(const char* format, ...) {
    char buffer[str_format_buffer_size];
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (written < 0) return {};
    return std::string(buffer, std::min<std::size_t>(static_cast<std::size_t>(written), sizeof buffer - 1));
}

}  // namespace Quorin_Core::CMD_Line::Console
