#include "Sdo_Client.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include <istream>
#include <stdexcept>

namespace Quorin_Tools {
namespace {

using boost::asio::ip::tcp;
using boost::asio::ip::udp;

/// What precedes the mailbox's port in the reply to "sdo <device> -o ...".
constexpr std::string_view port_marker = "OK add sdo link: server ";

/// The mailbox port in "OK add sdo link: server 0.0.0.0 <port> client ...", or 0.
std::uint16_t mailbox_port_in(const std::string& reply) {
    if (!reply.starts_with(port_marker)) return 0;
    const auto port_at = reply.find(' ', port_marker.size());
    if (port_at == std::string::npos) return 0;
    return static_cast<std::uint16_t>(std::stoul(reply.substr(port_at + 1)));
}

}  // namespace

Sdo_Client::Sdo_Client(const std::string& host, std::uint16_t control_port) : control(context), udp(context) {
    tcp::resolver resolver(context);
    const auto server = boost::asio::connect(control, resolver.resolve(host, std::to_string(control_port)));
    server_address = server.address();
}

Sdo_Client::~Sdo_Client() {
    if (linked_device.empty()) return;
    try {
        command("sdo " + linked_device + " -c " + local_endpoint.address().to_string() + " " +
                std::to_string(local_endpoint.port()));
    } catch (const std::exception&) {
        // The server may have gone; its link goes with it.
    }
}

void Sdo_Client::link(const std::string& device) {
    // The control connection's own address is the one the server sees this host at.
    const auto address = control.local_endpoint().address();
    udp.open(address.is_v4() ? udp::v4() : udp::v6());
    udp.bind(udp::endpoint(address, 0));
    local_endpoint = udp.local_endpoint();
    const std::string reply = command("sdo " + device + " -o " + address.to_string() + " " +
                                      std::to_string(local_endpoint.port()));
    mailbox_port = mailbox_port_in(reply);
    if (mailbox_port == 0) throw std::runtime_error("link refused: " + reply);
    linked_device = device;
}

void Sdo_Client::send(const Bytes& request) {
    udp.send_to(boost::asio::buffer(request), udp::endpoint(server_address, mailbox_port));
}

std::optional<Sdo_Client::Bytes> Sdo_Client::receive(std::chrono::milliseconds timeout) {
    Bytes answer(datagram_bytes);
    std::optional<Bytes> got;
    udp::endpoint sender;
    udp.async_receive_from(boost::asio::buffer(answer), sender,
                           [&](const boost::system::error_code& error, std::size_t bytes) {
                               if (error) return;
                               answer.resize(bytes);
                               got = std::move(answer);
                           });
    context.restart();
    context.run_for(timeout);
    if (!context.stopped()) {
        udp.cancel();  // timed out: the receive completes as cancelled
        context.run();
    }
    return got;
}

std::string Sdo_Client::command(const std::string& line) {
    boost::asio::write(control, boost::asio::buffer(line + "\n"));
    boost::asio::streambuf reply;
    boost::asio::read_until(control, reply, "\r\n");
    std::istream text(&reply);
    std::string first_line;
    std::getline(text, first_line);
    if (first_line.ends_with('\r')) first_line.pop_back();
    return first_line;
}

}  // namespace Quorin_Tools
