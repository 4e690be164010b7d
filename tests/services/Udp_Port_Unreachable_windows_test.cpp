#include "services/Udp_Port_Unreachable.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <array>

namespace {

using boost::asio::ip::udp;

/// Sends from `socket` to a loopback port nobody listens on, then has a second socket send it
/// one byte, and returns the outcome of the next receive.
boost::system::error_code receive_after_unreachable_send(udp::socket& socket, boost::asio::io_context& context) {
    udp::socket closed_port(context, udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    const auto nobody = closed_port.local_endpoint();
    closed_port.close();
    const std::array<char, 1> byte{'x'};
    socket.send_to(boost::asio::buffer(byte), nobody);
    udp::socket other(context, udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    other.send_to(boost::asio::buffer(byte), socket.local_endpoint());
    std::array<char, 16> received{};
    udp::endpoint sender;
    boost::system::error_code error;
    socket.receive_from(boost::asio::buffer(received), sender, 0, error);
    return error;
}

TEST(Udp_Port_Unreachable, a_send_to_a_client_that_has_gone_does_not_fail_the_next_receive) {
    boost::asio::io_context context;
    udp::socket socket(context, udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    ASSERT_EQ(Quorin_Core::ignore_port_unreachable(socket), 0);
    EXPECT_FALSE(receive_after_unreachable_send(socket, context));
}

}  // namespace
