#include "Ctl_Client.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

#include <cstdio>
#include <random>

namespace Quorin_Tools {
namespace {

using boost::asio::ip::tcp;

/// A device name no operator would give: a fixed prefix and 64 random bits in hex.
std::string marker_device_name() {
    std::random_device source;
    const std::uint64_t token = (std::uint64_t{source()} << 32) ^ source();
    char name[40];
    std::snprintf(name, sizeof name, "quorin-ctl-%016llx", static_cast<unsigned long long>(token));
    return name;
}

}  // namespace

Ctl_Client::Ctl_Client(const std::string& host, std::uint16_t port) : socket(context) {
    tcp::resolver resolver(context);
    boost::asio::connect(socket, resolver.resolve(host, std::to_string(port)));
    const std::string name = marker_device_name();
    marker_line = "dev " + name + " -end";
    end_of_reply = "FAILED to find device [" + name + "]\r\n>-FAILED\r\n";
}

std::string Ctl_Client::command(const std::string& line) {
    boost::asio::write(socket, boost::asio::buffer(line + "\n" + marker_line + "\n"));
    // The command's reply may be cut at the server's limit; the marker's reply still follows it.
    const std::size_t through_marker = boost::asio::read_until(socket, boost::asio::dynamic_buffer(received), end_of_reply);
    std::string reply = received.substr(0, through_marker - end_of_reply.size());
    received.erase(0, through_marker);
    return reply;
}

}  // namespace Quorin_Tools
