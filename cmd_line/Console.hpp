#pragma once

#include <boost/asio/ip/udp.hpp>

#include <string>
#include <utility>
#include <vector>

#include "cmd_line/CMD_Error.hpp"

namespace Quorin_Core {
class Server;
}

namespace Quorin_Core::CMD_Line::Console {

/// Splits a line into whitespace-separated tokens: the command name and its arguments.
std::pair<std::string, std::vector<std::string>> str_split(const std::string& line);

/// Parses and runs one command line, appending the answer (and any error reply) to `reply`.
void cmd_parser(const std::string& line, std::string& reply, Server& server);

/// Positions of the arguments that begin with "-"; the arguments before the first of them
/// are appended to `name`, joined by single blanks.
std::vector<unsigned> option_parser(const std::vector<std::string>& args, std::string& name);

/// Converts `text` to a number within [minimum, maximum]. Writes why it failed to `reply`.
/// CMD_WRONG_FORMAT: no number; CMD_OVERRANGE: does not fit the type, or outside the bounds
/// (the value is stored all the same, except a float that is not a number); else CMD_OK.
template <typename Number>
CMD_Error number_parser(const std::string& text, Number minimum, Number maximum, Number& value,
                        std::string& reply);

extern template CMD_Error number_parser<int>(const std::string&, int, int, int&, std::string&);
extern template CMD_Error number_parser<float>(const std::string&, float, float, float&,
                                               std::string&);

/// Parses an address and a port (0 to 65535, checked first) into a UDP endpoint.
CMD_Error str_to_endpoint(const std::string& address, const std::string& port,
                          boost::asio::ip::udp::endpoint& endpoint, std::string& reply);

/// printf-style formatting into a string of at most 4095 characters.
std::string str_format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace Quorin_Core::CMD_Line::Console
