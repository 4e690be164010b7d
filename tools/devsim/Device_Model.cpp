#include "tools/devsim/Device_Model.hpp"

#include <algorithm>
#include <cstring>

#include "rt_serial/datalink/Protocol_Bitmap.hpp"
#include "rt_serial/datalink/SDO_Splitter.hpp"

namespace Quorin_Tools::Devsim {

using Quorin_Core::RT_Serial::Datalink::ID_Filter;
using Quorin_Core::RT_Serial::Datalink::PACK_OK;
using Quorin_Core::RT_Serial::Datalink::Raw_Frame;
using Quorin_Core::RT_Serial::Datalink::Receive_Result;
using Quorin_Core::RT_Serial::Payload::Payload_Descriptor;
using Quorin_Core::RT_Serial::Payload::SDO_Splitter;
namespace Payload = Quorin_Core::RT_Serial::Payload;

namespace {

/// Bytes of the counter at the start of counter-pattern TPDO data.
constexpr std::size_t counter_bytes = 4;
constexpr unsigned bits_per_byte = 8;

void count_check(Receive_Result result, Counters& counters) {
    switch (result) {
        case Receive_Result::FRAME_OK: ++counters.frames_ok; break;
        case Receive_Result::LENGTH_ERROR: ++counters.length_errors; break;
        case Receive_Result::HEADER_ERROR: ++counters.header_errors; break;
        case Receive_Result::SOURCE_ID_ERROR: ++counters.source_id_errors; break;
        case Receive_Result::DESTINATION_ID_ERROR: ++counters.destination_id_errors; break;
        case Receive_Result::CRC_ERROR: ++counters.crc_errors; break;
        default: break;
    }
}

}  // namespace

Device_Model::Device_Model(bool native_usb, Counters& counters)
    : counters(counters),
      with_crc(!native_usb),
      from_host(ID_Filter::allow_only(Raw_Frame::host_id)),
      to_device(ID_Filter::allow_only(Raw_Frame::device_id)),
      builder(Raw_Frame::device_id, Raw_Frame::host_id, !native_usb) {}

std::size_t Device_Model::answer_room(std::uint16_t reply_quota) {
    const std::size_t bytes = std::size_t{reply_quota} * reply_unit_bytes;
    const std::size_t room = std::min(bytes - bytes % Raw_Frame::length_unit_bytes, Raw_Frame::max_length_bytes);
    return room < Raw_Frame::min_length_bytes ? 0 : room;
}

Receive_Result Device_Model::check(const std::uint8_t* frame, std::size_t size) {
    Raw_Frame raw;
    const Receive_Result result = raw.unpack(frame, size, from_host, to_device, with_crc);
    count_check(result, counters);
    return result;
}

Device_Model::Outcome Device_Model::handle(const std::uint8_t* frame, std::size_t size, const Behaviour& behaviour,
                                           Answer& answer) {
    answer.length = 0;
    Raw_Frame raw;
    Outcome outcome;
    if (raw.unpack(frame, size, from_host, to_device, with_crc) != Receive_Result::FRAME_OK) return outcome;
    outcome.reply_quota = raw.reply_quota;

    Payload_Descriptor payload;
    if (!payload.unpack(raw.payload, raw.length - Raw_Frame::overhead_bytes)) {
        ++counters.payload_errors;
        ++counters.other_frames;
        return outcome;
    }
    if (payload.protocol == Payload::pdo_protocol && raw.reply_quota == 0) {
        ++counters.rpdo_frames;
        rpdo_size = payload.size;
        std::memcpy(rpdo.data(), payload.data, payload.size);
        outcome.kind = Frame_Kind::RPDO;
    } else if (payload.protocol == Payload::pdo_protocol) {
        answer_tpdo(raw.reply_quota, behaviour, answer);
        outcome.kind = Frame_Kind::TPDO_REQUEST;
    } else if (payload.protocol == Payload::sdo_protocol) {
        answer_sdo(payload, raw.reply_quota, answer, outcome);
        outcome.kind = Frame_Kind::SDO;
    } else {
        ++counters.other_frames;
    }
    return outcome;
}

void Device_Model::answer_tpdo(std::uint16_t reply_quota, const Behaviour& behaviour, Answer& answer) {
    ++counters.tpdo_requests;
    const std::size_t room = answer_room(reply_quota);
    if (room == 0) {
        ++counters.no_room;
        return;
    }
    const std::size_t wanted = tpdo_data(behaviour);
    const std::size_t size = std::min(wanted, room - answer_overhead_bytes);
    if (size < wanted) ++counters.tpdo_truncated;
    if (builder.build(answer.bytes.data(), Payload::pdo_protocol, scratch.data(), size, 0, answer.length) != PACK_OK)
        return;
    ++counters.tpdo_answers;
}

std::size_t Device_Model::tpdo_data(const Behaviour& behaviour) {
    if (behaviour.tpdo_mode == TPDO_Mode::ECHO_RPDO) {
        std::memcpy(scratch.data(), rpdo.data(), rpdo_size);
        return rpdo_size;
    }
    const std::size_t size =
        std::clamp(behaviour.tpdo_size, Behaviour::min_tpdo_size_bytes, Behaviour::max_tpdo_size_bytes);
    ++tpdo_counter;
    for (std::size_t i = 0; i < counter_bytes; ++i)
        scratch[i] = static_cast<std::uint8_t>(tpdo_counter >> (bits_per_byte * i));
    for (std::size_t i = counter_bytes; i < size; ++i) scratch[i] = static_cast<std::uint8_t>(i);
    return size;
}

void Device_Model::answer_sdo(const Payload_Descriptor& payload, std::uint16_t reply_quota, Answer& answer,
                              Outcome& outcome) {
    ++counters.sdo_frames;
    outcome.messages = take_requests(payload.data, payload.size);
    const std::size_t room = answer_room(reply_quota);
    if (room == 0) {
        ++counters.no_room;
        return;
    }
    const auto [count, bytes] = gather_answers(room - answer_overhead_bytes);
    if (builder.build(answer.bytes.data(), Payload::sdo_protocol, scratch.data(), bytes, 0, answer.length) != PACK_OK)
        return;
    outcome.answers = count;
    ++counters.sdo_answer_frames;
    counters.sdo_answers += count;
    counters.sdo_held_back = held.size();
}

std::uint16_t Device_Model::take_requests(const std::uint8_t* data, std::size_t size) {
    // A 0xF0 request gives no length: it is the rest of the frame, padding and all, and is
    // answered as 0xF1 with the same bytes.
    if (size >= whole_request_min_bytes && data[0] == whole_request_header) {
        ++counters.sdo_whole_requests;
        hold(data, size);
        held.back()[0] = whole_answer_header;
        counters.sdo_held_back = held.size();
        return 1;
    }
    std::size_t parsed = 0;
    const std::size_t messages =
        SDO_Splitter::split(data, size, [this, &parsed](const std::uint8_t* message, std::size_t length) {
            hold(message, length);
            parsed += length;
        });
    counters.sdo_messages += messages;
    // Padding is zero; a non-zero byte where the messages end is something not understood.
    if (parsed < size && data[parsed] != 0) ++counters.sdo_unparsed;
    counters.sdo_held_back = held.size();
    return static_cast<std::uint16_t>(messages);
}

void Device_Model::hold(const std::uint8_t* message, std::size_t size) {
    if (held.size() >= max_held_answers) {
        held.pop_front();
        ++counters.sdo_answers_lost;
    }
    held.emplace_back(message, message + size);
}

std::pair<std::uint16_t, std::size_t> Device_Model::gather_answers(std::size_t capacity) {
    std::uint16_t count = 0;
    std::size_t bytes = 0;
    while (!held.empty() && bytes + held.front().size() <= capacity) {
        std::memcpy(scratch.data() + bytes, held.front().data(), held.front().size());
        bytes += held.front().size();
        held.pop_front();
        ++count;
    }
    return {count, bytes};
}

void Device_Model::reset() {
    rpdo_size = 0;
    tpdo_counter = 0;
    counters.sdo_answers_lost += held.size();
    held.clear();
    counters.sdo_held_back = 0;
}

}  // namespace Quorin_Tools::Devsim
