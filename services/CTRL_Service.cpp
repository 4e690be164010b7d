#include "services/CTRL_Service.hpp"

#include <boost/asio/post.hpp>

#include <functional>
#include <future>
#include <stdexcept>

#include "services/CTRL_Connection.hpp"
#include "utility/Log_Repeat.hpp"
#include "utility/Logger.hpp"

namespace Quorin_Core {

using boost::asio::ip::tcp;

CTRL_Service::CTRL_Service(boost::asio::io_context& context, Line_Handler run_line, Settings settings)
    : run_line(std::move(run_line)),
      acceptor(context),
      settings(std::move(settings)),
      context(context),
      retry_timer(context) {
    open_acceptor();
    start_tcp_accept();
    QUORIN_LOG(INFO, "Starting TCP Control accept...");
}

CTRL_Service::~CTRL_Service() {
    close_all_connections();
    boost::system::error_code ignored;
    retry_timer.cancel();
    acceptor.close(ignored);
}

void CTRL_Service::open_acceptor() {
    // The address was checked when the configuration was read.
    const tcp::endpoint endpoint(boost::asio::ip::make_address(settings.listen_ip), settings.port);
    auto fail = [this](const char* what, const boost::system::error_code& error) {
        boost::system::error_code close_error;
        acceptor.close(close_error);
        if (close_error) QUORIN_LOG_ERROR("Error closing acceptor during cleanup: ", close_error.message());
        throw std::runtime_error(what + error.message());
    };
    boost::system::error_code error;
    acceptor.open(endpoint.protocol(), error);
    if (error) fail("Error opening acceptor: ", error);
    acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    if (error) fail("Error setting reuse_address: ", error);
    acceptor.bind(endpoint, error);
    if (error) fail("Error binding acceptor: ", error);
    acceptor.listen(tcp::socket::max_listen_connections, error);
    if (error) fail("Error starting to listen: ", error);
}

void CTRL_Service::start_tcp_accept() {
    std::lock_guard lock(mutex);
    if (stopped) return;
    sweep_stopped_connections();
    if (connections.size() >= settings.max_connections) {
        // At the limit no accept is pending: new clients wait in the listen backlog.
        arm_retry_timer();
        return;
    }
    auto socket = std::make_shared<tcp::socket>(context);
    acceptor.async_accept(*socket, [this, socket](const boost::system::error_code& error) {
        on_accept(socket, error);
    });
}

void CTRL_Service::arm_retry_timer() {
    retry_timer.cancel();
    retry_timer.expires_after(accept_retry_interval);
    retry_timer.async_wait([this](const boost::system::error_code& error) {
        if (!error) start_tcp_accept();
    });
}

void CTRL_Service::sweep_stopped_connections() {
    for (auto entry = connections.begin(); entry != connections.end();) {
        if (*entry && !(*entry)->is_stopped()) {
            ++entry;
            continue;
        }
        auto removed = std::move(*entry);
        entry = connections.erase(entry);
        QUORIN_LOG(INFO, "A ctrl connection removed!");
        // A send that never completes would keep the connection, and its socket, alive:
        // close it on the control thread, which owns the socket.
        if (removed) boost::asio::post(context, [removed] { removed->close(); });
    }
}

void CTRL_Service::on_accept(const std::shared_ptr<tcp::socket>& socket,
                             const boost::system::error_code& error) {
    if (error == boost::asio::error::operation_aborted) return;
    if (error) {
        // A client that gave up before being accepted is retried at once; anything else
        // (such as running out of descriptors) waits for the retry tick instead of spinning.
        if (error == boost::asio::error::connection_aborted) {
            start_tcp_accept();
        } else {
            std::lock_guard lock(mutex);
            if (!stopped) arm_retry_timer();
        }
        return;
    }
    if (refused(*socket)) {
        start_tcp_accept();
        return;
    }
    {
        std::lock_guard lock(mutex);
        if (stopped) return;
        auto connection = std::make_shared<Connection>(socket, run_line, std::chrono::seconds(settings.idle_s));
        connection->tcp_receive();
        connections.push_back(connection);
        QUORIN_LOG(INFO, "New remote control connection: ", connection->remote());
    }
    start_tcp_accept();
}

bool CTRL_Service::refused(tcp::socket& socket) {
    boost::system::error_code error;
    const auto peer = socket.remote_endpoint(error);
    if (!error && Utility::allowed_by(settings.allow, peer.address())) return false;
    const std::string address = error ? "an unknown address" : peer.address().to_string();
    QUORIN_LOG_REPEATING(WARN, "Control connection refused", std::hash<std::string>{}(address),
                         "Control connection from ", address, " refused: not in control_service->allow");
    socket.close(error);
    return true;
}

void CTRL_Service::close_all_connections() {
    // Sockets belong to the control thread; close them there unless it no longer runs.
    if (context.stopped() || context.get_executor().running_in_this_thread()) {
        close_all_now();
        return;
    }
    std::promise<void> done;
    auto closed = done.get_future();
    boost::asio::post(context, [this, &done] {
        close_all_now();
        done.set_value();
    });
    closed.wait();
}

void CTRL_Service::close_all_now() {
    std::lock_guard lock(mutex);
    stopped = true;
    for (auto& connection : connections) {
        if (connection) connection->close();
    }
    connections.clear();
}

void CTRL_Service::list_connections(std::vector<std::string>& records) {
    std::lock_guard lock(mutex);
    sweep_stopped_connections();
    for (const auto& connection : connections) records.push_back(connection->record());
}

}  // namespace Quorin_Core
