#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "utility/Address_Range.hpp"

namespace Quorin_Core {

/// The TCP control service: accepts up to `max_connections` clients on the control port and
/// hands each command line they send to the line handler, which returns the reply.
///
/// Threading: every handler runs on the context's thread (the server's control thread).
/// `list_connections` and `close_all_connections` may be called from any thread;
/// `connections` is guarded by `mutex`, and closing is carried out on the control thread.
class CTRL_Service {
public:
    class Connection;
    /// Runs one command line (without its "\n") and returns the whole reply. Called on the
    /// control thread.
    using Line_Handler = std::function<std::string(const std::string& line)>;

    struct Settings {
        std::string listen_ip = "0.0.0.0";
        std::uint16_t port = 50000;
        std::uint8_t max_connections = 8;
        std::vector<Utility::Address_Range> allow{};  ///< empty lets every client in
        std::uint32_t idle_s = 0;                     ///< 0: connections never time out
    };

    /// Opens, binds and listens on `settings.listen_ip`:`settings.port`, then starts accepting.
    /// Throws std::runtime_error naming the step that failed.
    CTRL_Service(boost::asio::io_context& context, Line_Handler run_line, Settings settings);
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

    void open_acceptor();
    /// Closes a client that `allow` keeps out; false when it may stay.
    bool refused(boost::asio::ip::tcp::socket& socket);
    void sweep_stopped_connections();
    void arm_retry_timer();
    void on_accept(const std::shared_ptr<boost::asio::ip::tcp::socket>& socket,
                   const boost::system::error_code& error);
    void close_all_now();

    const Line_Handler run_line;
    boost::asio::ip::tcp::acceptor acceptor;
    std::vector<std::shared_ptr<Connection>> connections;
    const Settings settings;
    boost::asio::io_context& context;
    std::mutex mutex;
    boost::asio::steady_timer retry_timer;
    bool stopped = false;  ///< set by close_all_connections; guarded by `mutex`
};

}  // namespace Quorin_Core
