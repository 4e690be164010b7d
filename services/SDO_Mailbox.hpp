#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rt_serial/protocol/SDO_Queue.hpp"
#include "services/EPID_Ledger.hpp"
#include "services/Endpoint_Allowed.hpp"
#include "services/SDO_Service.hpp"

namespace Quorin_Core {

/// The SDO mailbox of one device: a UDP socket bound to 0.0.0.0 and its own port. A request
/// from a linked client (header byte 0x60 to 0x7F, and exactly one SDO message long by the
/// link's length rule) is stamped with the client's EPID (byte 4) and queued to the device's
/// transmit SDO queue; each answer in the device's receive SDO queue (header 0x60 to 0x7F or
/// 0xF1) goes to the client whose EPID it carries in byte 4. Everything else is dropped, and
/// so are answers still owed to a link that has been removed (see EPID_Ledger), which would
/// otherwise reach the next holder of its EPID.
///
/// Lifetime: held by shared pointers (the service's list and every pending handler). It
/// keeps the device's two queues alive itself and refers to the device only weakly, so a
/// loop step that runs after the device is gone still works on live queues.
///
/// Threading: the receive and transmit loops run on the context's thread (the SDO thread);
/// `rx_buffer`, `tx_buffer`, `sender_endpoint`, `target_endpoint`, `target_epid` and
/// `timer` belong to that thread alone. `destroy`, `add_link`, `remove_link`, `clear_links`,
/// `get_link`, `list_links` and `get_diagnostics` may be called from any thread: the links
/// guard themselves, the counters are atomics, and `socket_mutex` guards every use of the
/// socket together with the `stopped` test, so no operation starts on a closed socket. The
/// ledger is updated while the links' lock is held (shared by the loops, exclusive by removals),
/// so an answer and the removal of its EPID are seen in the same order by both.
/// Lock order: `links`, then the ledger's lock or a queue's lock; `socket_mutex` is taken alone.
class SDO_Service::Mailbox : public std::enable_shared_from_this<Mailbox> {
public:
    using Queue = RT_Serial::Protocol::SDO::Queue;

    /// Largest datagram handled; a longer one arrives cut to this size.
    static constexpr std::size_t datagram_bytes = 1024;
    /// Shortest datagram handled: the header byte up to the EPID and one more.
    static constexpr std::size_t min_datagram_bytes = 6;
    /// Position of the EPID in every datagram.
    static constexpr std::size_t epid_offset = 4;
    /// How long the transmit loop waits before it looks at an empty answer queue again.
    static constexpr auto idle_poll_interval = std::chrono::milliseconds(1);

    /// One EPID's counters, as copied out by get_diagnostics. "rx" is what the device sent,
    /// "tx" what it was sent.
    struct EPID_Counters {
        std::uint64_t rx_sdo = 0;        ///< answers sent to the client
        std::uint64_t tx_sdo = 0;        ///< requests accepted from the client
        std::uint64_t rx_sdo_bytes = 0;
        std::uint64_t tx_sdo_bytes = 0;
    };

    /// The counters of all 256 EPIDs; atomics, only incremented or reset.
    class SDO_Diagnostics_ {
    public:
        /// Sets the four counters of `epid` to 0.
        void reset(unsigned char epid);
        /// One answer of `bytes` bytes sent to the client of `epid`.
        void count_rx(unsigned char epid, std::uint64_t bytes);
        /// One request of `bytes` bytes accepted from the client of `epid`.
        void count_tx(unsigned char epid, std::uint64_t bytes);
        /// A copy of the counters of `epid`.
        EPID_Counters get(unsigned char epid) const;

    private:
        struct Record {
            std::atomic<std::uint64_t> rx_sdo{0};
            std::atomic<std::uint64_t> tx_sdo{0};
            std::atomic<std::uint64_t> rx_sdo_bytes{0};
            std::atomic<std::uint64_t> tx_sdo_bytes{0};
        };
        std::array<Record, Endpoint_Allowed::max_links> records;
    };

    /// Opens the socket on 0.0.0.0:`port` for `device`, keeping account of answers in `ledger`
    /// (the device's earlier mailbox's, if it had one), and discards what an earlier mailbox
    /// left in the device's queues; throws std::runtime_error when the socket cannot be opened
    /// or bound. Nothing runs until `open`.
    Mailbox(boost::asio::io_context& context, unsigned short port, const std::shared_ptr<Device>& device,
            std::shared_ptr<EPID_Ledger> ledger);
    /// Closes the socket if `destroy` has not.
    ~Mailbox();

    Mailbox(const Mailbox&) = delete;
    Mailbox& operator=(const Mailbox&) = delete;

    /// Starts the receive loop and the transmit loop on the context's thread.
    void open();
    /// Removes every link (their answers still owed become stale), sets `stopped` and closes
    /// the socket; both loops end at their next step.
    void destroy();

    /// Links a client and sets its EPID's counters to 0; false when it is linked already or
    /// all EPIDs are in use.
    bool add_link(const boost::asio::ip::udp::endpoint& endpoint);
    /// Unlinks a client; false when it was not linked.
    bool remove_link(const boost::asio::ip::udp::endpoint& endpoint);
    /// Unlinks every client; EPIDs start from 0 again, the counters stay until reused.
    void clear_links();
    /// The client linked with `epid`; false when there is none.
    bool get_link(unsigned char epid, boost::asio::ip::udp::endpoint& out) const;
    /// With `with_local`, first "address:port" of the socket; then "[EPID] address:port" for
    /// each link in EPID order.
    void list_links(std::vector<std::string>& out, bool with_local) const;
    /// A copy of the counters of `epid`.
    EPID_Counters get_diagnostics(unsigned char epid) const { return diagnostics.get(epid); }

    /// Whether this mailbox serves `device`, which still exists.
    bool serves(const Device* device) const { return device != nullptr && device == device_address && !orphaned(); }
    /// Whether the device it served has been destroyed.
    bool orphaned() const { return device.expired(); }
    /// The device it serves, weakly.
    const std::weak_ptr<const Device>& device_weak() const { return device; }
    /// The address of the device it serves, for identity only.
    const Device* device_identity() const { return device_address; }
    /// The account of answers owed to its links, which a later mailbox of the device takes over.
    const std::shared_ptr<EPID_Ledger>& answer_ledger() const { return ledger; }
    /// The port the socket is bound to.
    unsigned short local_port() const { return local_port_number; }
    /// The address the socket is bound to, in text form.
    const std::string& local_address() const { return local_address_text; }

    /// Starts receiving one request (the receive loop's step).
    void udp_receive();
    /// Takes the next answer and sends it, or waits for one (the transmit loop's step).
    void udp_transmit();

private:
    /// Empties the device's queues of what an earlier mailbox left there.
    void discard_stale_messages(const std::string& device_name);
    /// The receive's completion: checks and queues the request, then receives the next one.
    void on_receive(const boost::system::error_code& error, std::size_t bytes);
    /// Queues a request of a linked client with its EPID, or drops it.
    void accept_request(std::size_t bytes);
    /// Whether the answer in `tx_buffer` goes to a client; sets the target if so.
    bool is_sendable_answer(std::size_t bytes);
    /// Sends the answer in `tx_buffer` to `target_endpoint`.
    void start_send(std::size_t bytes);
    /// The send's completion: counts it, then takes the next answer at once.
    void on_sent(const boost::system::error_code& error, std::size_t bytes);
    /// Looks at the answer queue again after `idle_poll_interval`.
    void wait_idle();
    /// Takes the next answer after the handlers that are ready have run.
    void continue_transmit_soon();

    boost::asio::io_context& context;
    boost::asio::ip::udp::socket socket;
    std::weak_ptr<const Device> device;
    const Device* const device_address;  ///< identity only, never dereferenced
    const std::shared_ptr<Queue> tx_queue;  ///< server to device, filled here
    const std::shared_ptr<Queue> rx_queue;  ///< device to server, drained here
    boost::asio::ip::udp::endpoint target_endpoint;
    boost::asio::ip::udp::endpoint sender_endpoint;
    Endpoint_Allowed links;
    const std::shared_ptr<EPID_Ledger> ledger;
    std::atomic<bool> stopped{true};
    std::mutex socket_mutex;
    std::array<std::uint8_t, datagram_bytes> tx_buffer{};
    std::array<std::uint8_t, datagram_bytes> rx_buffer{};
    unsigned char target_epid = 0;  ///< EPID of the answer being sent
    boost::asio::steady_timer timer;
    SDO_Diagnostics_ diagnostics;
    unsigned short local_port_number = 0;
    std::string local_address_text;
};

}  // namespace Quorin_Core
