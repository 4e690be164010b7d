// Fuzzes the receive handlers of the UDP services: a client's datagram, put in the receive
// buffer of a PDO channel or an SDO mailbox as its socket would have, and handed to on_receive.
// The first input byte picks the service, the sender and whether the receive failed; the rest
// is the datagram. What the device is given (the session's PDO slot, the transmit SDO queue) is
// worked out again here from the datagram formats: it must be exactly that, or nothing.
#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <ostream>
#include <vector>

#include "server/Device.hpp"
#include "services/PDO_Channel.hpp"
#include "services/SDO_Mailbox.hpp"
#include "utility/Logger.hpp"

namespace Quorin_Core {

using boost::asio::ip::udp;
using Bytes = std::vector<std::uint8_t>;

/// Reaches into the channel, the mailbox and the session (each names it a friend).
struct Datagram_Probe {
    static Bytes pdo_slot(Device& device) {
        const auto data = device.session.tx_entities->pdo_slot.read();
        return Bytes(data.begin(), data.end());
    }

    static void receive(PDO_Service::Channel& channel, const Bytes& datagram, const udp::endpoint& sender,
                        const boost::system::error_code& error, bool stopped) {
        std::copy(datagram.begin(), datagram.end(), channel.rx_buffer.begin());
        channel.sender_endpoint = sender;
        channel.stopped = stopped;
        channel.on_receive(error, datagram.size());
        // on_receive started the next receive on the socket: cancelled while stopped, it ends unseen.
        channel.stopped = true;
        boost::system::error_code ignored;
        channel.socket.cancel(ignored);
        channel.context.restart();
        channel.context.poll();
    }

    /// The mailbox is never opened: its receive loop starts no socket operation.
    static void receive(SDO_Service::Mailbox& mailbox, const Bytes& datagram, const udp::endpoint& sender,
                        const boost::system::error_code& error) {
        std::copy(datagram.begin(), datagram.end(), mailbox.rx_buffer.begin());
        mailbox.sender_endpoint = sender;
        mailbox.on_receive(error, datagram.size());
    }
};

namespace {

using Drop = SDO_Service::Mailbox::Drop;

constexpr std::size_t receive_buffer_bytes = 1024;  // both services: a longer datagram arrives cut to this
constexpr std::size_t max_rpdo_bytes = 1004;        // the most RPDO data one frame carries
constexpr std::size_t min_request_bytes = 6;
constexpr std::size_t max_whole_request_bytes = 1014;
constexpr std::uint8_t whole_request_header = 0xF0;
constexpr std::size_t epid_byte = 4;

void check(bool condition) {
    if (!condition) std::abort();
}

udp::endpoint endpoint(const char* address, unsigned short port) { return {boost::asio::ip::make_address(address), port}; }

/// The PDO channel's client, which is also the mailbox's link with EPID 0; the link with EPID 1;
/// two strangers, each sharing one half of the first endpoint.
const udp::endpoint senders[] = {endpoint("127.0.0.1", 40001), endpoint("127.0.0.1", 40002),
                                 endpoint("127.0.0.2", 40001), endpoint("127.0.0.1", 40003)};
constexpr std::size_t linked_senders = 2;

struct Rig {
    boost::asio::io_context context;
    // Never opened: the port stays closed and the session never runs.
    std::shared_ptr<Device> device =
        std::make_shared<Device>("fuzz", "/dev/quorin-fuzz", 115200, false, false, nullptr, false, false);
    std::shared_ptr<PDO_Service::Channel> channel = std::make_shared<PDO_Service::Channel>(context, 0, senders[0], device->served().session);
    std::shared_ptr<SDO_Service::Mailbox> mailbox = std::make_shared<SDO_Service::Mailbox>(context, 0, device->served());
};
Rig* rig = nullptr;  // lives to the end of the process

/// Length of the SDO message a request headed 0x60 to 0x7F starts, by the link's rule: the
/// header is a control byte with two extension bytes over its base code (header - 0x40);
/// base code 0x3B adds its length byte, at offset 6. 0 for a code the link does not know.
std::size_t request_message_length(const Bytes& request) {
    const std::uint8_t base = static_cast<std::uint8_t>(request[0] - 0x40);
    std::size_t length = 2;
    switch (base) {
        case 0x21: length += 4; break;
        case 0x35: length += 5; break;
        case 0x37: length += 6; break;
        case 0x23: case 0x33: case 0x39: length += 8; break;
        case 0x3D: length += 12; break;
        case 0x3B:
            if (request.size() <= 6) return 0;
            length += 5 + request[6];
            break;
        default: return 0;
    }
    return length;
}

/// Why the mailbox must drop a request; nothing when it must queue it.
std::optional<Drop> expected_drop(const Bytes& request, bool linked) {
    if (request.size() < min_request_bytes) return Drop::bad_length;
    if (request[0] == whole_request_header) {
        if (request.size() > max_whole_request_bytes) return Drop::too_long;
    } else if ((request[0] & 0xE0) != 0x60) {
        return Drop::bad_header;
    } else if (request_message_length(request) != request.size()) {
        return Drop::bad_length;
    }
    if (!linked) return Drop::unlinked_sender;
    return std::nullopt;
}

/// The session's PDO slot takes 1 to 1004 bytes from the channel's client alone.
void fuzz_pdo(const Bytes& datagram, std::size_t sender, const boost::system::error_code& error, bool stopped) {
    Device& device = *rig->device;
    PDO_Service::Channel& channel = *rig->channel;
    const std::uint8_t none = 0;
    device.session.pdo_write(&none, 0);  // an empty slot: nothing written since
    check(Datagram_Probe::pdo_slot(device).empty());
    const auto before = channel.diagnostics.get_copy();

    Datagram_Probe::receive(channel, datagram, senders[sender], error, stopped);

    const bool received = !error && !stopped && sender == 0;
    const bool taken = received && !datagram.empty() && datagram.size() <= max_rpdo_bytes;
    check(Datagram_Probe::pdo_slot(device) == (taken ? datagram : Bytes{}));
    const auto after = channel.diagnostics.get_copy();
    check(after.rpdo == before.rpdo + received && after.rpdo_synced == before.rpdo_synced + taken);
    check(after.rpdo_bytes == before.rpdo_bytes + (received ? datagram.size() : 0));
    check(after.tpdo == before.tpdo && after.tpdo_bytes == before.tpdo_bytes);
}

/// The transmit SDO queue takes a well-formed request of a linked client, its EPID in byte 4.
void fuzz_sdo(const Bytes& datagram, std::size_t sender, const boost::system::error_code& error) {
    SDO_Service::Mailbox& mailbox = *rig->mailbox;
    SPB_Queue& queue = *rig->device->tx_queue;
    const auto drops_before = mailbox.drop_counts();
    SDO_Service::Mailbox::EPID_Counters counters_before[linked_senders];
    for (std::size_t epid = 0; epid < linked_senders; ++epid) counters_before[epid] = mailbox.get_diagnostics(epid);

    Datagram_Probe::receive(mailbox, datagram, senders[sender], error);

    const std::optional<Drop> drop = error ? std::nullopt : expected_drop(datagram, sender < linked_senders);
    const bool queued = !error && !drop;
    check(queue.count() == queued);
    if (queued) {
        Bytes expected = datagram;
        expected[epid_byte] = static_cast<std::uint8_t>(sender);  // the EPID of senders[sender]
        Bytes message(receive_buffer_bytes);
        message.resize(queue.dequeue(message.size(), message.data()));
        check(message == expected);
        rig->device->sdo_ledger->request_withdrawn(static_cast<unsigned char>(sender));  // never to be answered
    }
    const auto drops_after = mailbox.drop_counts();
    for (std::size_t kind = 0; kind < drops_after.size(); ++kind)
        check(drops_after[kind] == drops_before[kind] + (drop && static_cast<std::size_t>(*drop) == kind));
    for (std::size_t epid = 0; epid < linked_senders; ++epid) {
        const auto after = mailbox.get_diagnostics(epid);
        const bool counted = queued && sender == epid;
        check(after.tx_sdo == counters_before[epid].tx_sdo + counted);
        check(after.tx_sdo_bytes == counters_before[epid].tx_sdo_bytes + (counted ? datagram.size() : 0));
        check(after.rx_sdo == counters_before[epid].rx_sdo && after.rx_sdo_bytes == counters_before[epid].rx_sdo_bytes);
    }
}

}  // namespace
}  // namespace Quorin_Core

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    using namespace Quorin_Core;
    static std::ostream quiet(nullptr);  // no buffer: every write fails and nothing is written
    Utility::Logger::instance().out = &quiet;
    Utility::Logger::instance().min_level = Utility::Log_Level::FATAL;
    rig = new Rig;
    // EPIDs are handed out from 0, in the order of linking.
    check(rig->mailbox->add_link(senders[0]) && rig->mailbox->add_link(senders[1]));
    udp::endpoint linked;
    check(rig->mailbox->get_link(1, linked) && linked == senders[1]);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace Quorin_Core;
    if (size == 0) return 0;
    const std::uint8_t mode = data[0];
    const Bytes datagram(data + 1, data + std::min(size, 1 + receive_buffer_bytes));
    const std::size_t sender = (mode >> 1) & 3;
    boost::system::error_code error;
    if (mode & 8) error = boost::asio::error::connection_refused;
    if (mode & 1)
        fuzz_sdo(datagram, sender, error);
    else
        fuzz_pdo(datagram, sender, error, (mode & 16) != 0);
    return 0;
}
