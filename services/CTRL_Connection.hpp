#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <string>

#include "services/CTRL_Service.hpp"

namespace Quorin_Core {

/// One control client: reads command lines ended by "\n", runs each through the line
/// handler and sends the replies back whole and in order. TCP keepalive finds peers that have
/// gone without a word; with an idle time, a client that sends no line for that long is closed.
///
/// Threading: its handlers run on the control thread; `close` is called there too (the
/// service posts it). `is_stopped` and `record` may be read from any thread.
class CTRL_Service::Connection : public std::enable_shared_from_this<Connection> {
public:
    /// A line longer than this closes the connection: a client that never sends "\n"
    /// must not exhaust the server's memory.
    static constexpr std::size_t max_line_bytes = 64 * 1024;
    /// A reply is cut to this many bytes.
    static constexpr std::size_t transmit_buffer_bytes = 8192;
    /// Reading pauses while this many replies wait to be sent to a client that does not read.
    static constexpr std::size_t max_pending_replies = 16;

    /// `idle_time` zero: the connection is never closed for being idle.
    Connection(std::shared_ptr<boost::asio::ip::tcp::socket> socket, Line_Handler run_line,
               std::chrono::seconds idle_time = std::chrono::seconds::zero());
    ~Connection();

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    /// Starts reading the next command line.
    void tcp_receive();
    /// Stops the connection, then cancels, shuts down and closes the socket (once).
    void close();
    /// Set once no more lines are taken (receiving failed, idle, closed); the service removes
    /// the connection at its next sweep.
    bool is_stopped() const { return stopped.load(); }
    /// "local:port remote:port", fixed when the connection was accepted.
    const std::string& record() const { return record_text; }
    /// "remote:port".
    const std::string& remote() const { return remote_text; }

private:
    void on_receive(const boost::system::error_code& error, std::size_t length);
    void arm_idle_timer();
    void on_idle(const boost::system::error_code& error);
    void execute_line(std::size_t length);
    void queue_reply(std::string reply);
    void tcp_transmit();
    void on_transmit(const boost::system::error_code& error, std::size_t bytes_sent);

    std::shared_ptr<boost::asio::ip::tcp::socket> socket;
    const Line_Handler run_line;
    std::atomic<bool> stopped{false};  ///< tested before each new receive
    std::deque<std::string> replies;  ///< front is being sent while `transmitting`
    bool transmitting = false;
    bool receive_paused = false;
    bool transmit_failed = false;  ///< a send failed; replies are no longer sent
    boost::asio::streambuf receive_buffer{max_line_bytes};
    std::string record_text;
    std::string remote_text;
    const std::chrono::seconds idle_time;
    boost::asio::steady_timer idle_timer;
};

}  // namespace Quorin_Core
