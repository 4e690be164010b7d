#include "services/CTRL_Connection.hpp"

#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

#include "utility/Endpoint_Text.hpp"
#include "utility/Logger.hpp"

namespace Quorin_Core {

using Utility::endpoint_text;

namespace {

// Probes after a minute of silence, every ten seconds, six times: a peer that has gone
// without closing is found within two minutes instead of the system's default two hours.
void enable_keepalive(boost::asio::ip::tcp::socket& socket, const std::string& peer) {
    boost::system::error_code error;
    socket.set_option(boost::asio::socket_base::keep_alive(true), error);
#if defined(TCP_KEEPIDLE) && defined(TCP_KEEPINTVL) && defined(TCP_KEEPCNT)
    using boost::asio::detail::socket_option::integer;
    if (!error) socket.set_option(integer<IPPROTO_TCP, TCP_KEEPIDLE>(60), error);
    if (!error) socket.set_option(integer<IPPROTO_TCP, TCP_KEEPINTVL>(10), error);
    if (!error) socket.set_option(integer<IPPROTO_TCP, TCP_KEEPCNT>(6), error);
#endif
    if (error) QUORIN_LOG_ERROR("Error setting keepalive on ctrl connection ", peer, ": ", error.message());
}

}  // namespace

using boost::asio::ip::tcp;

CTRL_Service::Connection::Connection(std::shared_ptr<tcp::socket> socket, Line_Handler run_line,
                                     std::chrono::seconds idle_time)
    : socket(std::move(socket)), run_line(std::move(run_line)), idle_time(idle_time), idle_timer(this->socket->get_executor()) {
    boost::system::error_code error;
    const auto local = this->socket->local_endpoint(error);
    const auto remote = this->socket->remote_endpoint(error);
    remote_text = endpoint_text(remote);
    record_text = endpoint_text(local) + " " + remote_text;
    enable_keepalive(*this->socket, remote_text);
}

CTRL_Service::Connection::~Connection() { close(); }

void CTRL_Service::Connection::tcp_receive() {
    if (stopped) return;
    arm_idle_timer();
    boost::asio::async_read_until(
        *socket, receive_buffer, '\n',
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t length) {
            self->on_receive(error, length);
        });
}

void CTRL_Service::Connection::arm_idle_timer() {
    if (idle_time == std::chrono::seconds::zero()) return;
    idle_timer.expires_after(idle_time);
    idle_timer.async_wait([self = shared_from_this()](const boost::system::error_code& error) { self->on_idle(error); });
}

void CTRL_Service::Connection::on_idle(const boost::system::error_code& error) {
    if (error || stopped) return;  // cancelled by a line that came, or stopped already
    QUORIN_LOG(INFO, "Control connection from ", remote_text, " idle for ", idle_time.count(), " s, closing it");
    close();
}

void CTRL_Service::Connection::on_receive(const boost::system::error_code& error, std::size_t length) {
    idle_timer.cancel();
    if (error == boost::asio::error::operation_aborted) return;
    if (error == boost::asio::error::not_found) {
        QUORIN_LOG_ERROR("Error recv ctrl-tcp data: command line from ", remote_text, " exceeds ",
                         max_line_bytes, " bytes, closing the connection");
        close();
        return;
    }
    if (error) {
        // No more lines come; replies already queued still go out while the socket is open.
        stopped = true;
        QUORIN_LOG_ERROR("Error recv ctrl-tcp data: ", error.message(), "\nBytes recvd: ", length);
        return;
    }
    execute_line(length);
    if (replies.size() >= max_pending_replies) {
        receive_paused = true;  // resumed once the client has taken some replies
        return;
    }
    tcp_receive();
}

void CTRL_Service::Connection::execute_line(std::size_t length) {
    const auto data = receive_buffer.data();
    std::string line(boost::asio::buffers_begin(data), boost::asio::buffers_begin(data) + length);
    receive_buffer.consume(length);
    std::string reply = run_line(line);
    if (reply.size() > transmit_buffer_bytes) reply.resize(transmit_buffer_bytes);
    if (socket->is_open()) queue_reply(std::move(reply));
}

void CTRL_Service::Connection::queue_reply(std::string reply) {
    if (transmit_failed) return;
    replies.push_back(std::move(reply));
    if (!transmitting) tcp_transmit();
}

void CTRL_Service::Connection::tcp_transmit() {
    if (replies.empty() || !socket->is_open()) return;
    transmitting = true;
    boost::asio::async_write(
        *socket, boost::asio::buffer(replies.front()),
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t bytes_sent) {
            self->on_transmit(error, bytes_sent);
        });
}

void CTRL_Service::Connection::on_transmit(const boost::system::error_code& error,
                                           std::size_t bytes_sent) {
    transmitting = false;
    if (error == boost::asio::error::operation_aborted) return;
    if (error) {
        QUORIN_LOG_ERROR("Error sent ctrl-tcp data: ", error.message(), "\nBytes sent: ", bytes_sent);
        // The peer takes no more data: later replies are dropped, and reading goes on so
        // that the read reports the broken connection and the sweep frees its place.
        transmit_failed = true;
        replies.clear();
    } else {
        replies.pop_front();
    }
    tcp_transmit();
    if (receive_paused && replies.size() < max_pending_replies && !stopped) {
        receive_paused = false;
        tcp_receive();
    }
}

void CTRL_Service::Connection::close() {
    stopped = true;
    if (!socket->is_open()) return;
    boost::system::error_code error;
    socket->cancel(error);
    socket->shutdown(tcp::socket::shutdown_both, error);
    if (error) QUORIN_LOG_ERROR("Error during socket shutdown: ", error.message());
    socket->close(error);
    if (error) QUORIN_LOG_ERROR("Error during socket close: ", error.message());
    idle_timer.cancel();
    QUORIN_LOG(INFO, "A ctrl socket closed!");
}

}  // namespace Quorin_Core
