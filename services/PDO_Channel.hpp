#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "rt_serial/control/Session.hpp"
#include "utility/Handler_Memory.hpp"
#include "services/PDO_Service.hpp"
#include "services/TPDO_Queue.hpp"

namespace Quorin_Core {

/// One device's PDO channel: a UDP socket bound to 0.0.0.0 on the channel's own port, and
/// the one client endpoint it talks to. Datagrams from that client become the device's RPDO
/// data; every TPDO payload the device's session delivers goes back to the client as one
/// datagram. No header is added or removed.
///
/// Threading:
/// - The PDO thread (`context`) runs every completion and starts every receive and send.
/// - The device's session thread calls `tpdo_handler`; it copies the payload into the TPDO
///   queue and posts the send to `context`.
/// - Command threads construct the channel and call `open` (which posts the first receive),
///   `destroy`, `occupied`, `serves` and the readers. `destroy` closes the socket at once:
///   `socket_mutex` keeps it apart from the PDO thread starting an operation, so the port is
///   free when `destroy` returns.
/// Lifetime: held by shared pointers (the service's list, each pending operation, and a sink
/// call in progress), each tested against `stopped` before it starts anything new. The channel
/// refers to its device weakly: the device table owns devices, and a handler that writes into
/// the session holds the device only for that moment. So a device can be deleted, or
/// destroyed at shutdown, while its channel still runs, and a channel never keeps a deleted
/// device's serial port open.
class PDO_Service::Channel : public std::enable_shared_from_this<Channel> {
public:
    using Session = RT_Serial::Control::Session;
    using udp = boost::asio::ip::udp;

    /// Bytes of each datagram buffer; a longer datagram arrives cut to this.
    static constexpr std::size_t datagram_buffer_bytes = 1024;

    /// The sink through which the session hands each TPDO payload to the channel.
    class TPDO_Read_Handler : public Session::Base_TPDO_Sync_Read {
    public:
        explicit TPDO_Read_Handler(Channel& channel) : channel(&channel) {}
        /// On the session thread: queues the payload and schedules its send, unless stopped.
        void operator()(const std::uint8_t* data, std::size_t size) override;

    private:
        Channel* channel;
    };

    /// The channel's five counters; only ever incremented, read one by one without a lock.
    class PDO_Diagnostics_ {
    public:
        /// A plain copy of the counters.
        struct Snapshot {
            std::uint64_t rpdo = 0;         ///< datagrams received from the client
            std::uint64_t tpdo = 0;         ///< datagrams sent to the client
            std::uint64_t rpdo_synced = 0;  ///< received datagrams handed to the session
            std::uint64_t rpdo_bytes = 0;   ///< bytes of all datagrams received from the client
            std::uint64_t tpdo_bytes = 0;   ///< bytes sent
        };
        /// Sets all five to 0.
        void clear();
        /// The five counters, each read on its own.
        Snapshot get_copy() const;

        std::atomic<std::uint64_t> rpdo{0};
        std::atomic<std::uint64_t> tpdo{0};
        std::atomic<std::uint64_t> rpdo_synced{0};
        std::atomic<std::uint64_t> rpdo_bytes{0};
        std::atomic<std::uint64_t> tpdo_bytes{0};
    };

    /// Opens the socket and binds it to 0.0.0.0:`port`; throws std::runtime_error ("bind: ...")
    /// when that fails. The channel does nothing until `open`.
    Channel(boost::asio::io_context& context, unsigned short port, const udp::endpoint& client,
            const std::shared_ptr<Session>& session);
    /// Unhooks the sink if `destroy` has not; the socket closes with the object.
    ~Channel();

    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    /// Installs the sink on the device's session and starts receiving (on the PDO thread).
    void open();
    /// Sets `stopped`, removes the sink from the session (waiting until the session has left
    /// it), cancels and closes the socket; pending operations end as aborted. Safe to call twice.
    void destroy();
    /// Whether the channel already serves `client` (address and port) or `session`'s device.
    bool occupied(const udp::endpoint& client, const Session* session) const;
    /// Whether the channel is `session`'s device's (a null session matches none).
    bool serves(const Session* session) const;
    /// Whether the device it serves is gone.
    bool orphaned() const { return session.expired(); }

    /// The socket's local endpoint, as bound.
    const udp::endpoint& local() const { return local_endpoint; }
    unsigned short local_port() const { return local_endpoint.port(); }
    /// The one client it talks to.
    const udp::endpoint& client() const { return client_endpoint; }
    /// "local_address:port client_address:port".
    std::string record() const;
    /// The sink `open` installs on the session; the session calls it on its thread.
    Session::Base_TPDO_Sync_Read& sink() { return tpdo_handler; }
    /// TPDO payloads replaced by a newer one before they could be sent.
    std::uint64_t tpdo_replaced() const { return tpdo_queue.replaced(); }

    PDO_Diagnostics_ diagnostics;

private:
    /// The datagram fuzzer (fuzz/datagram_fuzz.cpp) hands datagrams straight to on_receive.
    friend struct Datagram_Probe;

    void udp_receive();
    void on_receive(const boost::system::error_code& error, std::size_t size);
    void take_rpdo(std::size_t size);
    void queue_tpdo(const std::shared_ptr<Channel>& self, const std::uint8_t* data, std::size_t size);
    void flush_tpdo();
    void udp_transmit(TPDO_Queue::Datagram datagram);
    void on_transmit(const boost::system::error_code& error, std::size_t size);
    void close_socket();
    /// Sets `stopped` and removes the sink; false if it was stopped already.
    bool stop_and_unhook();

    boost::asio::io_context& context;
    std::mutex socket_mutex;  ///< guards starting operations on `socket` against closing it
    udp::socket socket;
    const udp::endpoint local_endpoint;
    const std::weak_ptr<Session> session;  ///< expires with its device
    const Session* const session_identity;  ///< compared only, never dereferenced
    const udp::endpoint client_endpoint;
    udp::endpoint sender_endpoint;  ///< source of the datagram being received (PDO thread)
    std::atomic<bool> stopped{false};
    std::atomic<bool> sink_installed{false};  ///< set by `open`
    std::array<std::uint8_t, datagram_buffer_bytes> rx_buffer{};  ///< PDO thread only
    TPDO_Queue tpdo_queue;
    TPDO_Read_Handler tpdo_handler{*this};
    Utility::Handler_Memory receive_memory;
    Utility::Handler_Memory transmit_memory;
    Utility::Handler_Memory flush_memory;
};

}  // namespace Quorin_Core
