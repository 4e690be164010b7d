#include "services/Udp_Port_Unreachable.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <array>

namespace {

using boost::asio::ip::udp;

// A send to a loopback port nobody listens on, then one byte from a second socket: the next
// receive gets the byte, not the send's "port unreachable".
TEST(Udp_Port_Unreachable, a_send_to_a_client_that_has_gone_does_not_fail_the_next_receive) {
    boost::asio::io_context context;
    const udp::endpoint any_loopback(boost::asio::ip::make_address("127.0.0.1"), 0);
    // A service's socket, as the channels and mailboxes open it.
    udp::socket socket = Quorin_Core::open_client_socket(
        context, 0, "Pdo channel", [](const char* step, const boost::system::error_code& error) { return step + (": " + error.message()); });
    udp::socket closed_port(context, any_loopback), other(context, any_loopback);
    const auto nobody = closed_port.local_endpoint();
    closed_port.close();
    const std::array<char, 1> byte{'x'};
    socket.send_to(boost::asio::buffer(byte), nobody);
    other.send_to(boost::asio::buffer(byte), udp::endpoint(any_loopback.address(), socket.local_endpoint().port()));
    std::array<char, 16> received{};
    udp::endpoint sender;
    boost::system::error_code error;
    socket.receive_from(boost::asio::buffer(received), sender, 0, error);
    EXPECT_FALSE(error) << error.message();
}

}  // namespace
