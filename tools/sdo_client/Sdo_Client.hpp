#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Quorin_Tools {

/// An SDO client of one device: it links itself to the device's mailbox through the control
/// port, sends requests to the mailbox and receives the answers carrying its EPID.
///
/// Threading: one thread; every call blocks until done or timed out.
class Sdo_Client {
public:
    using Bytes = std::vector<std::uint8_t>;

    /// Connects to the control port of `host`. Throws boost::system::system_error on failure.
    Sdo_Client(const std::string& host, std::uint16_t control_port);
    /// Removes the link again if one was made.
    ~Sdo_Client();

    Sdo_Client(const Sdo_Client&) = delete;
    Sdo_Client& operator=(const Sdo_Client&) = delete;

    /// Opens a UDP socket on the address the server sees this client at and links it to the
    /// mailbox of `device` ("sdo <device> -o <address> <port>"). Throws std::runtime_error
    /// with the server's reply when it refuses.
    void link(const std::string& device);
    /// Sends one request to the mailbox; the server puts this client's EPID into byte 4.
    void send(const Bytes& request);
    /// The next answer, or nothing after `timeout`.
    std::optional<Bytes> receive(std::chrono::milliseconds timeout);
    /// Runs one command line on the control port and returns its reply.
    std::string command(const std::string& line);

    /// The UDP endpoint this client was linked with.
    const boost::asio::ip::udp::endpoint& local() const { return local_endpoint; }
    /// The mailbox's port, known once linked.
    std::uint16_t mailbox() const { return mailbox_port; }

private:
    static constexpr std::size_t datagram_bytes = 1024;

    boost::asio::io_context context;
    boost::asio::ip::tcp::socket control;
    boost::asio::ip::udp::socket udp;
    boost::asio::ip::udp::endpoint local_endpoint;
    boost::asio::ip::address server_address;
    std::uint16_t mailbox_port = 0;
    std::string linked_device;
};

}  // namespace Quorin_Tools
