#include "services/SDO_Mailbox.hpp"

#include <boost/asio/post.hpp>

#include <stdexcept>

#include "rt_serial/datalink/SDO_Splitter.hpp"
#include "rt_serial/control/Session.hpp"
#include "services/Udp_Port_Unreachable.hpp"
#include "utility/Log_Repeat.hpp"
#include "utility/Endpoint_Text.hpp"
#include "utility/Logger.hpp"

namespace Quorin_Core {

using Utility::endpoint_text;

namespace {

using boost::asio::ip::udp;

/// Top three bits of the header byte that both directions share.
constexpr std::uint8_t shared_header_mask = 0xE0;
constexpr std::uint8_t shared_header_bits = 0x60;
/// The header byte only a client may send.
constexpr std::uint8_t client_only_header = 0xF0;
/// The header byte only the device may send.
constexpr std::uint8_t device_only_header = 0xF1;

using Drop = SDO_Service::Mailbox::Drop;

bool has_header(const std::uint8_t* data, std::size_t bytes, std::uint8_t own_header) {
    if (bytes < SDO_Service::Mailbox::min_datagram_bytes) return false;
    return (data[0] & shared_header_mask) == shared_header_bits || data[0] == own_header;
}

/// Whether `bytes` of `data` are exactly one SDO message as the link frames them. Requests
/// travel to the device laid end to end in one frame, so a datagram that is not one whole
/// message would throw the device's reading of the frame out of step: the requests of other
/// clients behind it would be lost, or read with the wrong length and answered to the wrong EPID.
bool is_one_message(const std::uint8_t* data, std::size_t bytes) {
    return RT_Serial::Payload::SDO_Splitter::message_length(data, bytes, 0) == bytes;
}

/// Why a client's datagram cannot go to the device as a request; nothing when it can. A 0xF0
/// request has no length the link can read: the session sends it alone in its frame.
std::optional<Drop> request_fault(const std::uint8_t* data, std::size_t bytes) {
    if (bytes < SDO_Service::Mailbox::min_datagram_bytes) return Drop::bad_length;
    if (data[0] == client_only_header) {
        if (bytes > SDO_Service::Mailbox::max_request_bytes) return Drop::too_long;
        return std::nullopt;
    }
    if ((data[0] & shared_header_mask) != shared_header_bits) return Drop::bad_header;
    if (!is_one_message(data, bytes)) return Drop::bad_length;
    return std::nullopt;
}

const char* drop_reason(Drop kind) {
    switch (kind) {
        case Drop::bad_header: return "bad header";
        case Drop::bad_length: return "wrong length";
        case Drop::too_long: return "too long";
        case Drop::unlinked_sender: return "sender not linked";
        case Drop::link_removed: return "link removed";
        default: return "owed to a removed link";
    }
}

}  // namespace

void SDO_Service::Mailbox::SDO_Diagnostics_::reset(unsigned char epid) {
    Record& record = records[epid];
    record.rx_sdo = 0;
    record.tx_sdo = 0;
    record.rx_sdo_bytes = 0;
    record.tx_sdo_bytes = 0;
}

void SDO_Service::Mailbox::SDO_Diagnostics_::count_rx(unsigned char epid, std::uint64_t bytes) {
    records[epid].rx_sdo.fetch_add(1, std::memory_order_relaxed);
    records[epid].rx_sdo_bytes.fetch_add(bytes, std::memory_order_relaxed);
}

void SDO_Service::Mailbox::SDO_Diagnostics_::count_tx(unsigned char epid, std::uint64_t bytes) {
    records[epid].tx_sdo.fetch_add(1, std::memory_order_relaxed);
    records[epid].tx_sdo_bytes.fetch_add(bytes, std::memory_order_relaxed);
}

SDO_Service::Mailbox::EPID_Counters SDO_Service::Mailbox::SDO_Diagnostics_::get(unsigned char epid) const {
    const Record& record = records[epid];
    return {record.rx_sdo.load(), record.tx_sdo.load(), record.rx_sdo_bytes.load(), record.tx_sdo_bytes.load()};
}

SDO_Service::Mailbox::Mailbox(boost::asio::io_context& context, unsigned short port, const Served_Device& device)
    : context(context),
      socket(open_client_socket(context, port, "Sdo mailbox",
                                [port](const char*, const boost::system::error_code& error) {
                                    return "Error binding sdo mailbox on port " + std::to_string(port) + ": " +
                                           error.message();
                                })),
      session(device.session),
      session_identity(device.session.get()),
      tx_queue(device.tx_queue),
      rx_queue(device.rx_queue),
      target_endpoint(udp::v4(), 0),
      sender_endpoint(udp::v4(), 0),
      ledger(device.sdo_ledger),
      timer(context),
      device_name(device.name) {
    boost::system::error_code error;
    const auto bound = socket.local_endpoint(error);
    local_port_number = error ? port : bound.port();
    local_address_text = error ? "0.0.0.0" : bound.address().to_string();
    discard_stale_messages(device_name);
}

void SDO_Service::Mailbox::discard_stale_messages(const std::string& device_name) {
    // Messages left in the device's queues belong to the links of an earlier mailbox. Their
    // EPIDs will be handed out again, and the answers must not reach the new holders. The
    // ledger is settled for each, as if it had gone its way.
    std::uint64_t discarded = 0;
    for (std::uint64_t bytes; (bytes = tx_queue->dequeue(datagram_bytes, tx_buffer.data())) != 0; ++discarded)
        if (bytes > epid_offset) ledger->request_withdrawn(tx_buffer[epid_offset]);
    const auto now = run_time();
    for (std::uint64_t bytes; (bytes = rx_queue->dequeue(datagram_bytes, tx_buffer.data())) != 0; ++discarded)
        if (bytes > epid_offset) ledger->answer_owed_to_removed_link(tx_buffer[epid_offset], now);
    if (discarded != 0)
        QUORIN_LOG(INFO, "Discarded ", discarded, " sdo messages of an earlier mailbox on [", device_name, "]");
}

SDO_Service::Mailbox::~Mailbox() { destroy(); }

void SDO_Service::Mailbox::open() {
    stopped = false;
    // Both loops start on the SDO thread, which owns the buffers and the timer.
    auto self = shared_from_this();
    rx_queue->set_fill_listener(weak_from_this());
    boost::asio::post(context, [self] {
        self->udp_receive();
        self->udp_transmit();
    });
}

void SDO_Service::Mailbox::destroy() {
    clear_links();  // after this no request is accepted, and what is owed is marked stale
    std::lock_guard lock(socket_mutex);
    stopped = true;
    if (!socket.is_open()) return;
    boost::system::error_code error;
    socket.cancel(error);
    socket.close(error);
    // Reported, not thrown: destroy runs during shutdown, and the other mailboxes still have to close.
    if (error) QUORIN_LOG_ERROR("Error sdo mailbox close: ", error.message());
}

bool SDO_Service::Mailbox::add_link(const udp::endpoint& endpoint) {
    // The counters are cleared before the link becomes visible, so no count of the new
    // client is lost to the reset.
    const auto now = run_time();
    return links
        .add(endpoint, [this](unsigned char epid) { diagnostics.reset(epid); },
             [this, now](unsigned char epid) { return !ledger->held(epid, now); })
        .has_value();
}

bool SDO_Service::Mailbox::remove_link(const udp::endpoint& endpoint) {
    const auto now = run_time(), hold = hold_time();
    return links.remove(endpoint, [&](unsigned char epid) { settle_removed_link(epid, now, hold); });
}

void SDO_Service::Mailbox::clear_links() {
    const auto now = run_time(), hold = hold_time();
    links.clear([&](unsigned char epid) { settle_removed_link(epid, now, hold); });
}

void SDO_Service::Mailbox::settle_removed_link(unsigned char epid, EPID_Ledger::Run_Time now,
                                               EPID_Ledger::Run_Time hold) {
    const auto withdrawn = tx_queue->withdraw_if(
        [epid](const std::uint8_t* message, std::uint64_t size) { return size > epid_offset && message[epid_offset] == epid; },
        [this](const std::uint8_t* message, std::uint64_t) { ledger->request_withdrawn(message[epid_offset]); });
    if (withdrawn != 0)
        note_drop(Drop::link_removed, withdrawn, [&] { return std::to_string(withdrawn) + " sdo requests of EPID " + std::to_string(epid); });
    ledger->unlinked(epid, now, hold);
}

EPID_Ledger::Run_Time SDO_Service::Mailbox::run_time() const {
    const auto served = session.lock();
    return served ? served->run_time() : EPID_Ledger::Run_Time{0};
}

EPID_Ledger::Run_Time SDO_Service::Mailbox::hold_time() const {
    const auto served = session.lock();
    if (!served) return EPID_Ledger::min_hold;
    return EPID_Ledger::hold_time(tx_queue->count(), served->timing().us_per_byte);
}

void SDO_Service::Mailbox::note_drop(Drop kind, std::uint64_t count, const std::function<std::string()>& what) {
    if (drops[static_cast<std::size_t>(kind)].fetch_add(count, std::memory_order_relaxed) != 0) return;
    QUORIN_LOG(WARN, "Dropped ", what(), " on [", device_name, "]: ", drop_reason(kind),
               " (later drops of this kind are only counted)");
}

SDO_Service::Mailbox::Drop_Counts SDO_Service::Mailbox::drop_counts() const {
    Drop_Counts counts{};
    for (std::size_t kind = 0; kind < counts.size(); ++kind) counts[kind] = drops[kind].load(std::memory_order_relaxed);
    return counts;
}

bool SDO_Service::Mailbox::get_link(unsigned char epid, udp::endpoint& out) const { return links.get(epid, out); }

void SDO_Service::Mailbox::list_links(std::vector<std::string>& out, bool with_local) const {
    if (with_local) out.push_back(local_address_text + ":" + std::to_string(local_port_number));
    std::vector<std::pair<unsigned char, udp::endpoint>> all;
    links.list_all(all);
    for (const auto& [epid, endpoint] : all) out.push_back("[" + std::to_string(epid) + "] " + endpoint_text(endpoint));
}

void SDO_Service::Mailbox::udp_receive() {
    std::lock_guard lock(socket_mutex);
    if (stopped) return;
    socket.async_receive_from(boost::asio::buffer(rx_buffer), sender_endpoint,
                              [self = shared_from_this()](const boost::system::error_code& error, std::size_t bytes) {
                                  self->on_receive(error, bytes);
                              });
}

void SDO_Service::Mailbox::on_receive(const boost::system::error_code& error, std::size_t bytes) {
    try {
        if (!error) {
            accept_request(bytes);
        } else if (error != boost::asio::error::operation_aborted) {
            QUORIN_LOG_REPEATING(ERROR, "Error recv udp-sdo data", Utility::repeat_key(error, bytes), "Error recv udp-sdo data: ",
                                 error.message(), "\nBytes recvd: ", bytes);
        }
    } catch (const std::exception& failure) {
        QUORIN_LOG_ERROR("Error recv udp-sdo data: ", failure.what());
    }
    udp_receive();
}

void SDO_Service::Mailbox::accept_request(std::size_t bytes) {
    const auto from = [this] { return "sdo request from " + endpoint_text(sender_endpoint); };
    if (const auto fault = request_fault(rx_buffer.data(), bytes)) return note_drop(*fault, 1, from);
    const bool linked = links.with_epid(sender_endpoint, [this, bytes](unsigned char epid) {
        rx_buffer[epid_offset] = epid;
        // A request the queue refuses is neither owed an answer nor counted as accepted.
        if (tx_queue->enqueue(rx_buffer.data(), bytes) != 0) return;
        ledger->request_sent(epid);
        diagnostics.count_tx(epid, bytes);
    });
    if (!linked) note_drop(Drop::unlinked_sender, 1, from);
}

void SDO_Service::Mailbox::udp_transmit() {
    if (stopped || sending) return;
    try {
        const auto bytes = static_cast<std::size_t>(rx_queue->dequeue(datagram_bytes, tx_buffer.data()));
        if (bytes == 0) return;
        if (!is_sendable_answer(bytes)) return continue_transmit_soon();
        start_send(bytes);
    } catch (const std::exception& failure) {
        QUORIN_LOG_ERROR("Error reading sdo answers: ", failure.what());
        retry_after_error();
    }
}

void SDO_Service::Mailbox::queue_filled() {
    if (wake_pending.exchange(true)) return;
    boost::asio::post(context, [self = shared_from_this()] {
        self->wake_pending = false;  // before the step looks at the queue: a later answer wakes it again
        self->udp_transmit();
    });
}

bool SDO_Service::Mailbox::is_sendable_answer(std::size_t bytes) {
    if (!has_header(tx_buffer.data(), bytes, device_only_header)) return false;
    target_epid = tx_buffer[epid_offset];
    const auto now = run_time();
    bool sendable = false, owed_to_removed = false;
    links.with_slot(target_epid, [&](const Endpoint_Allowed::Endpoint_Struct& slot) {
        // Every answer settles the ledger, also one that goes nowhere.
        owed_to_removed = ledger->answer_owed_to_removed_link(target_epid, now);
        if (owed_to_removed || slot.empty) return;
        target_endpoint = slot.endpoint;
        sendable = true;
    });
    if (owed_to_removed)
        note_drop(Drop::owed_answer, 1, [this] { return "sdo answer for EPID " + std::to_string(target_epid); });
    return sendable;
}

void SDO_Service::Mailbox::start_send(std::size_t bytes) {
    std::lock_guard lock(socket_mutex);
    if (stopped) return;
    sending = true;
    socket.async_send_to(boost::asio::buffer(tx_buffer.data(), bytes), target_endpoint,
                         [self = shared_from_this()](const boost::system::error_code& error, std::size_t sent) {
                             self->on_sent(error, sent);
                         });
}

void SDO_Service::Mailbox::on_sent(const boost::system::error_code& error, std::size_t bytes) {
    sending = false;
    if (!error) {
        diagnostics.count_rx(target_epid, bytes);
    } else if (error != boost::asio::error::operation_aborted) {
        QUORIN_LOG_REPEATING(ERROR, "Error sent udp-sdo data", Utility::repeat_key(error, bytes), "Error sent udp-sdo data: ",
                             error.message(), "\nBytes sent: ", bytes);
    }
    // Answers waiting behind this one go out back to back.
    udp_transmit();
}

void SDO_Service::Mailbox::retry_after_error() {
    timer.expires_after(error_retry_interval);
    timer.async_wait([self = shared_from_this()](const boost::system::error_code&) {
        // Whatever the wait's outcome, the next step decides by `stopped`.
        self->udp_transmit();
    });
}

void SDO_Service::Mailbox::continue_transmit_soon() {
    // A dropped answer must not hold up those behind it, nor keep the thread from the other
    // mailboxes: the next step is queued behind the handlers that are ready.
    boost::asio::post(context, [self = shared_from_this()] { self->udp_transmit(); });
}

}  // namespace Quorin_Core
