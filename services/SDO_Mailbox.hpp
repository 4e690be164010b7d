#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "rt_serial/protocol/SPB_Queue.hpp"
#include "services/EPID_Ledger.hpp"
#include "services/Endpoint_Allowed.hpp"
#include "services/SDO_Service.hpp"

namespace Quorin_Core {

/// The SDO mailbox of one device: a UDP socket bound to 0.0.0.0 and its own port. A request
/// from a linked client (header byte 0x60 to 0x7F and exactly one SDO message long by the
/// link's length rule, or header 0xF0 and at most 1014 bytes) is stamped with the client's EPID
/// (byte 4) and queued to the device's transmit SDO queue; each answer in the device's receive
/// SDO queue (header 0x60 to 0x7F or 0xF1) goes to the client whose EPID it carries in byte 4.
/// Other requests are dropped and counted by kind, the first of each kind logged. Answers still
/// owed to a link that has been removed are dropped and counted too: they would otherwise reach
/// the next holder of its EPID (see EPID_Ledger, the device's account that the mailbox keeps).
///
/// Lifetime: held by shared pointers (the service's list and every pending handler). It
/// keeps the device's two queues alive itself and refers to the device only weakly, so a
/// loop step that runs after the device is gone still works on live queues.
///
/// Threading: the receive and transmit loops run on the context's thread (the SDO thread);
/// `rx_buffer`, `tx_buffer`, `sender_endpoint`, `target_endpoint`, `target_epid`, `sending` and
/// `timer` belong to that thread alone; `queue_filled` comes from the session's thread. `destroy`, `add_link`, `remove_link`, `clear_links`,
/// `get_link`, `list_links` and `get_diagnostics` may be called from any thread: the links
/// guard themselves, the counters are atomics, and `socket_mutex` guards every use of the
/// socket together with the `stopped` test, so no operation starts on a closed socket. The
/// ledger is updated while the links' lock is held (shared by the loops, exclusive by removals),
/// so an answer and the removal of its EPID are seen in the same order by both.
/// Lock order: `links`, then the ledger's lock or a queue's lock; `socket_mutex` is taken alone.
class SDO_Service::Mailbox final : public std::enable_shared_from_this<Mailbox>, public RT_Serial::Protocol::SDO::Fill_Listener {
public:
    /// Largest datagram handled; a longer one arrives cut to this size.
    static constexpr std::size_t datagram_bytes = 1024;
    /// Shortest datagram handled: the header byte up to the EPID and one more.
    static constexpr std::size_t min_datagram_bytes = 6;
    /// Position of the EPID in every datagram.
    static constexpr std::size_t epid_offset = 4;
    /// Longest request: the transmit queue's limit.
    static constexpr std::size_t max_request_bytes = 1014;
    /// How long the transmit loop waits after the answer queue failed to give an answer.
    static constexpr auto error_retry_interval = std::chrono::milliseconds(1);

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

    /// What the mailbox drops, by kind.
    enum class Drop : std::size_t {
        bad_header,       ///< a request whose header byte is no request's
        bad_length,       ///< a request shorter than 6 bytes or not one whole message
        too_long,         ///< a 0xF0 request longer than the transmit queue takes
        unlinked_sender,  ///< a request from a client that is not linked
        link_removed,     ///< a request still queued when its link was removed
        owed_answer,      ///< an answer owed to a removed link
        kinds
    };
    using Drop_Counts = std::array<std::uint64_t, static_cast<std::size_t>(Drop::kinds)>;

    /// Opens the socket on 0.0.0.0:`port` for `device` and discards what an earlier mailbox
    /// left in the device's queues; throws std::runtime_error when the socket cannot be opened
    /// or bound. Nothing runs until `open`.
    Mailbox(boost::asio::io_context& context, unsigned short port, const Served_Device& device);
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
    /// every free EPID is in use or held back.
    bool add_link(const boost::asio::ip::udp::endpoint& endpoint);
    /// Unlinks a client and takes its queued requests back; false when it was not linked.
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
    /// What was dropped so far, by kind.
    Drop_Counts drop_counts() const;

    /// Whether this mailbox serves `session`'s device, which still exists.
    bool serves(const RT_Serial::Control::Session* other) const {
        return other != nullptr && other == session_identity && !orphaned();
    }
    /// Whether the device it served has been destroyed.
    bool orphaned() const { return session.expired(); }
    /// The port the socket is bound to.
    unsigned short local_port() const { return local_port_number; }
    /// The address the socket is bound to, in text form.
    const std::string& local_address() const { return local_address_text; }

    /// Starts receiving one request (the receive loop's step).
    void udp_receive();
    /// Takes the next answer and sends it, unless one is on its way (the transmit loop's step).
    /// An empty queue ends the loop: the queue's wake-up starts it again.
    void udp_transmit();
    /// The answer queue took an answer in (the session's thread): the transmit loop's step is
    /// posted to the SDO thread, one at a time however many answers come meanwhile.
    void queue_filled() override;

private:
    /// The datagram fuzzer (fuzz/datagram_fuzz.cpp) hands datagrams straight to on_receive.
    friend struct Datagram_Probe;

    /// Empties the device's queues of what an earlier mailbox left there.
    void discard_stale_messages(const std::string& device_name);
    /// The receive's completion: checks and queues the request, then receives the next one.
    void on_receive(const boost::system::error_code& error, std::size_t bytes);
    /// Queues a request of a linked client with its EPID, or drops it.
    void accept_request(std::size_t bytes);
    /// Takes the requests of a removed link's EPID out of the transmit queue and holds the EPID
    /// back while answers are owed. Runs under the links' exclusive lock.
    void settle_removed_link(unsigned char epid, EPID_Ledger::Run_Time now, EPID_Ledger::Run_Time hold);
    /// The device session's run time, the ledger's clock.
    EPID_Ledger::Run_Time run_time() const;
    /// How long an EPID removed now is held back at most.
    EPID_Ledger::Run_Time hold_time() const;
    /// Counts `count` drops of `kind`; logs the first of its kind, with `what` was dropped.
    void note_drop(Drop kind, std::uint64_t count, const std::function<std::string()>& what);
    /// Whether the answer in `tx_buffer` goes to a client; sets the target if so.
    bool is_sendable_answer(std::size_t bytes);
    /// Sends the answer in `tx_buffer` to `target_endpoint`.
    void start_send(std::size_t bytes);
    /// The send's completion: counts it, then takes the next answer at once.
    void on_sent(const boost::system::error_code& error, std::size_t bytes);
    /// Looks at the answer queue again after `error_retry_interval`.
    void retry_after_error();
    /// Takes the next answer after the handlers that are ready have run.
    void continue_transmit_soon();

    boost::asio::io_context& context;
    boost::asio::ip::udp::socket socket;
    const std::weak_ptr<const RT_Serial::Control::Session> session;  ///< expires with its device
    const RT_Serial::Control::Session* const session_identity;  ///< compared only, never dereferenced
    const std::shared_ptr<SPB_Queue> tx_queue;  ///< server to device, filled here
    const std::shared_ptr<SPB_Queue> rx_queue;  ///< device to server, drained here
    boost::asio::ip::udp::endpoint target_endpoint;
    boost::asio::ip::udp::endpoint sender_endpoint;
    Endpoint_Allowed links;
    const std::shared_ptr<EPID_Ledger> ledger;
    std::atomic<bool> stopped{true};
    std::mutex socket_mutex;
    std::array<std::uint8_t, datagram_bytes> tx_buffer{};
    std::array<std::uint8_t, datagram_bytes> rx_buffer{};
    unsigned char target_epid = 0;  ///< EPID of the answer being sent
    bool sending = false;           ///< an answer in `tx_buffer` is on its way
    std::atomic<bool> wake_pending{false};
    boost::asio::steady_timer timer;
    SDO_Diagnostics_ diagnostics;
    unsigned short local_port_number = 0;
    std::string local_address_text;
    const std::string device_name;
    std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(Drop::kinds)> drops{};
};

}  // namespace Quorin_Core
