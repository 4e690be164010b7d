#include "services/PDO_Channel.hpp"

#include <boost/asio/post.hpp>

#include <exception>

#include "services/Udp_Port_Unreachable.hpp"
#include "utility/Log_Repeat.hpp"
#include "utility/Endpoint_Text.hpp"
#include "utility/Logger.hpp"

namespace Quorin_Core {

using boost::asio::ip::udp;
using Utility::endpoint_text;

// ---- counters ---------------------------------------------------------------------------

void PDO_Service::Channel::PDO_Diagnostics_::clear() {
    rpdo = 0;
    tpdo = 0;
    rpdo_synced = 0;
    rpdo_bytes = 0;
    tpdo_bytes = 0;
}

PDO_Service::Channel::PDO_Diagnostics_::Snapshot PDO_Service::Channel::PDO_Diagnostics_::get_copy() const {
    return {rpdo.load(), tpdo.load(), rpdo_synced.load(), rpdo_bytes.load(), tpdo_bytes.load()};
}

// ---- life --------------------------------------------------------------------------------

PDO_Service::Channel::Channel(boost::asio::io_context& context, unsigned short port, const udp::endpoint& client,
                              const std::shared_ptr<Session>& session)
    : context(context),
      socket(open_client_socket(context, port, "Pdo channel",
                                [](const char* step, const boost::system::error_code& error) {
                                    return std::string(step) + ": " + error.message();
                                })),
      local_endpoint(socket.local_endpoint()),
      session(session),
      session_identity(session.get()),
      client_endpoint(client),
      sender_endpoint(boost::asio::ip::address_v4::any(), 0) {
    diagnostics.clear();
}

PDO_Service::Channel::~Channel() {
    // Only a channel that never reached the service's list gets here unstopped: no
    // operation is pending, so the socket is this thread's to close with the object.
    stop_and_unhook();
}

void PDO_Service::Channel::open() {
    stopped = false;
    if (const auto served = session.lock()) {
        served->set_tpdo_sync_read_handler(tpdo_handler);
        sink_installed = true;
    }
    boost::asio::post(context, [self = shared_from_this()] { self->udp_receive(); });
}

void PDO_Service::Channel::destroy() {
    if (!stop_and_unhook()) return;
    close_socket();
}

bool PDO_Service::Channel::stop_and_unhook() {
    if (stopped.exchange(true)) return false;
    if (!sink_installed) return true;
    // A device already gone has taken its session, and the sink with it, along.
    if (const auto served = session.lock()) served->reset_tpdo_sync_read_handler();
    return true;
}

void PDO_Service::Channel::close_socket() {
    std::lock_guard lock(socket_mutex);
    boost::system::error_code error;
    socket.cancel(error);
    socket.close(error);
    if (error) QUORIN_LOG_ERROR("close: ", error.message());
}

// ---- lookups -----------------------------------------------------------------------------

bool PDO_Service::Channel::occupied(const udp::endpoint& client, const Session* other) const {
    return client_endpoint == client || (!orphaned() && session_identity == other);
}

bool PDO_Service::Channel::serves(const Session* other) const {
    return other != nullptr && !orphaned() && session_identity == other;
}

std::string PDO_Service::Channel::record() const {
    return endpoint_text(local_endpoint) + " " + endpoint_text(client_endpoint);
}

// ---- RPDO: client to session ---------------------------------------------------------------

void PDO_Service::Channel::udp_receive() {
    std::lock_guard lock(socket_mutex);
    if (stopped) return;  // tested under the lock: `destroy` may be closing the socket
    try {
        socket.async_receive_from(boost::asio::buffer(rx_buffer), sender_endpoint,
                                  receive_memory.bind([self = shared_from_this()](const boost::system::error_code& error,
                                                                                  std::size_t size) {
                                      self->on_receive(error, size);
                                  }));
    } catch (const std::exception& error) {
        QUORIN_LOG_ERROR("Error recv udp-pdo data: ", error.what());
    }
}

void PDO_Service::Channel::on_receive(const boost::system::error_code& error, std::size_t size) {
    if (error) {
        if (error != boost::asio::error::operation_aborted)
            QUORIN_LOG_REPEATING(ERROR, "Error recv udp-pdo data", Utility::repeat_key(error, size), "Error recv udp-pdo data: ",
                                 error.message(), "\nBytes recvd: ", size);
    } else if (!stopped && sender_endpoint == client_endpoint) {
        take_rpdo(size);
    }
    udp_receive();
}

void PDO_Service::Channel::take_rpdo(std::size_t size) {
    if (size >= 1 && size <= Session::pdo_slot_bytes) {
        // Held for the write only: a device deleted meanwhile goes when this returns.
        if (const auto served = session.lock()) {
            served->pdo_write(rx_buffer.data(), size);
            ++diagnostics.rpdo_synced;
        }
    }
    ++diagnostics.rpdo;
    diagnostics.rpdo_bytes += size;
}

// ---- TPDO: session to client ---------------------------------------------------------------

void PDO_Service::Channel::TPDO_Read_Handler::operator()(const std::uint8_t* data, std::size_t size) {
    // Holding the channel for the call: it may be removed meanwhile, and then lives until
    // this returns. Empty once the channel is being destroyed.
    const auto self = channel->weak_from_this().lock();
    if (!self || self->stopped) return;
    try {
        self->queue_tpdo(self, data, size);
    } catch (const std::exception& error) {
        QUORIN_LOG_ERROR("Error sent udp-pdo data: ", error.what());
    }
}

void PDO_Service::Channel::queue_tpdo(const std::shared_ptr<Channel>& self, const std::uint8_t* data,
                                      std::size_t size) {
    if (!tpdo_queue.push(data, size)) return;  // a flush or a send will take it
    boost::asio::post(context, flush_memory.bind([self] { self->flush_tpdo(); }));
}

void PDO_Service::Channel::flush_tpdo() {
    if (const auto datagram = tpdo_queue.start_flush()) udp_transmit(datagram);
}

void PDO_Service::Channel::udp_transmit(TPDO_Queue::Datagram datagram) {
    std::lock_guard lock(socket_mutex);
    if (stopped) return;
    try {
        socket.async_send_to(boost::asio::buffer(datagram.data, datagram.size), client_endpoint,
                             transmit_memory.bind([self = shared_from_this()](const boost::system::error_code& error,
                                                                              std::size_t size) {
                                 self->on_transmit(error, size);
                             }));
    } catch (const std::exception& error) {
        // Not started: drop it, so the next payload's flush sends what waits.
        tpdo_queue.drop_in_flight();
        QUORIN_LOG_ERROR("Error sent udp-pdo data: ", error.what());
    }
}

void PDO_Service::Channel::on_transmit(const boost::system::error_code& error, std::size_t size) {
    if (!error) {
        ++diagnostics.tpdo;
        diagnostics.tpdo_bytes += size;
    } else if (error != boost::asio::error::operation_aborted) {
        // The TPDO is lost; the next one goes out as usual.
        QUORIN_LOG_REPEATING(ERROR, "Error sent udp-pdo data", Utility::repeat_key(error, size), "Error sent udp-pdo data: ",
                             error.message(), "\nBytes sent: ", size);
    }
    if (const auto next = tpdo_queue.finish_send()) udp_transmit(next);
}

}  // namespace Quorin_Core
