#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Quorin_Core {

class Server;

/// The TCP control service: accepts up to `max_connections` clients on the control port and
/// runs each command line they send through the command parser.
///
/// Threading: every handler runs on the context's thread (the server's control thread).
/// `list_connections` and `close_all_connections` may be called from any thread;
/// `connections` is guarded by `mutex`, and closing is carried out on the control thread.
class CTRL_Service {
public:
    class Connection;

    /// Opens, binds and listens on 0.0.0.0:`port`, then starts accepting.
    /// Throws std::runtime_error naming the step that failed.
    CTRL_Service(boost::asio::io_context& context, Server& server, std::uint16_t port,
                 std::uint8_t max_connections);
    ~CTRL_Service();

    CTRL_Service(const CTRL_Service&) = delete;
    CTRL_Service& operator=(const CTRL_Service&) = delete;

    /// Sweeps closed connections, then accepts one more client or, at the limit, retries in 100 ms.
    void start_tcp_accept();
    /// Closes every connection and forgets them all.
    void close_all_connections();
    /// Appends "local:port remote:port" for each live connection, in order of acceptance.
    void list_connections(std::vector<std::string>& records);

private:
    static constexpr auto accept_retry_interval = std::chrono::milliseconds(100);

    void open_acceptor(std::uint16_t port);
    void sweep_closed_connections();
    void arm_retry_timer();
    void on_accept(const std::shared_ptr<boost::asio::ip::tcp::socket>& socket,
                   const boost::system::error_code& error);
    void close_all_now();

    Server& server;
    boost::asio::ip::tcp::acceptor acceptor;
    std::vector<std::shared_ptr<Connection>> connections;
    std::uint8_t max_connections;
    boost::asio::io_context& context;
    std::mutex mutex;
    boost::asio::steady_timer retry_timer;
    bool stopped = false;  ///< set by close_all_connections; guarded by `mutex`
};

}  // namespace Quorin_Core
