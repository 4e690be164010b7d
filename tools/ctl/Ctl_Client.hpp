#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <string>

namespace Quorin_Tools {

/// A client of the server's TCP control port: it sends one command line at a time and
/// returns that line's reply, whole, as the server sent it.
///
/// The control protocol marks no reply's end, yet answers each line with exactly one reply,
/// in order. So after each command line the client sends a marker line, "dev <name> -end"
/// for a device name holding a token drawn at random when the client starts, whose reply is
/// fixed and known: "FAILED to find device [<name>]\r\n>-FAILED\r\n". No reply to the
/// operator's line can hold that token, so the first place the marker's reply appears in the
/// stream is where the command's reply ends. The marker has no effect on the server: the
/// device is looked up before the option is read, and no device bears the name.
///
/// Threading: one thread; every call blocks until done.
class Ctl_Client {
public:
    /// Connects to `port` on `host`. Throws boost::system::system_error on failure.
    Ctl_Client(const std::string& host, std::uint16_t port);

    Ctl_Client(const Ctl_Client&) = delete;
    Ctl_Client& operator=(const Ctl_Client&) = delete;

    /// Sends `line` (with no line feed of its own) and returns its reply, without the
    /// marker's. Throws boost::system::system_error when the connection fails or ends first.
    std::string command(const std::string& line);

private:
    boost::asio::io_context context;
    boost::asio::ip::tcp::socket socket;
    std::string marker_line;   ///< "dev <name> -end", its line feed left out
    std::string end_of_reply;  ///< the server's reply to the marker line
    std::string received;  ///< bytes read past the last marker's reply (none while the server keeps to one reply a line)
};

}  // namespace Quorin_Tools
