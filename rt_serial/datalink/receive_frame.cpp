#include "rt_serial/datalink/receive_frame.hpp"

#include "rt_serial/datalink/Payload_Descriptor.hpp"
#include "rt_serial/datalink/Protocol_Bitmap.hpp"
#include "rt_serial/datalink/Raw_Frame.hpp"
#include "rt_serial/datalink/SDO_Splitter.hpp"

namespace Quorin_Core::RT_Serial::Datalink {

namespace {

/// Adds one to the counter of a failed frame check.
void count_check(Receive_Result result, Receive_Counters& counters) {
    switch (result) {
        case Receive_Result::LENGTH_ERROR: ++counters.length; break;
        case Receive_Result::HEADER_ERROR: ++counters.header; break;
        case Receive_Result::SOURCE_ID_ERROR: ++counters.source_id; break;
        case Receive_Result::DESTINATION_ID_ERROR: ++counters.destination_id; break;
        case Receive_Result::CRC_ERROR: ++counters.crc; break;
        case Receive_Result::FRAME_OK: ++counters.ok; break;
        default: break;
    }
}

/// Hands the payload of a good frame to the sink by its protocol.
Receive_Result dispatch(const Raw_Frame& frame, Receive_Counters& counters, Frame_Sink& sink) {
    const std::uint8_t protocol = frame.payload[0];
    if (!Payload::protocol_bitmap.contains(protocol)) return Receive_Result::UNKNOWN_PROTOCOL;

    Payload::Payload_Descriptor descriptor;
    if (!descriptor.unpack(frame.payload, frame.length - Raw_Frame::overhead_bytes)) {
        ++counters.payload;
        return Receive_Result::PAYLOAD_ERROR;
    }
    if (protocol == Payload::pdo_protocol) {
        ++counters.tpdo_rx;
        sink.pdo_payload(descriptor.data, descriptor.size);
        return Receive_Result::PDO;
    }
    if (protocol == Payload::sdo_protocol) {
        ++counters.sdo_rx;
        Payload::SDO_Splitter::split(descriptor.data, descriptor.size,
                                     [&sink](const std::uint8_t* message, std::size_t length) {
                                         sink.sdo_message(message, length);
                                     });
        return Receive_Result::SDO;
    }
    return Receive_Result::OTHER_PROTOCOL;
}

}  // namespace

Receive_Result receive_frame(const std::uint8_t* frame, std::size_t size, const ID_Filter& source_filter,
                             const ID_Filter& destination_filter, bool with_crc, Receive_Counters& counters,
                             Frame_Sink& sink) {
    Raw_Frame raw;
    const Receive_Result checked = raw.unpack(frame, size, source_filter, destination_filter, with_crc);
    count_check(checked, counters);
    if (checked != Receive_Result::FRAME_OK) return checked;
    return dispatch(raw, counters, sink);
}

}  // namespace Quorin_Core::RT_Serial::Datalink
