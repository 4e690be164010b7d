// Fuzzes the receive procedure and the SDO splitter. The first input byte picks a mode, the
// rest is the frame (or data). Every frame is held in a buffer of exactly its size, so any
// read past it is caught by AddressSanitizer; the sink checks what it is given.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "rt_serial/datalink/Frame_Builder.hpp"
#include "rt_serial/datalink/Raw_Frame.hpp"
#include "rt_serial/datalink/SDO_Splitter.hpp"
#include "rt_serial/datalink/receive_frame.hpp"
#include "rt_serial/protocol/SPB_Queue.hpp"

namespace {

using namespace Quorin_Core::RT_Serial::Datalink;
using Quorin_Core::RT_Serial::Payload::SDO_Splitter;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t max_pdo_bytes = Raw_Frame::max_payload_bytes - 2;  // descriptor header at least 2
constexpr std::size_t min_sdo_bytes = 4;
constexpr std::size_t max_sdo_bytes = 262;  // 0x3B with two extension bytes and a length byte of 255

void check(bool condition) {
    if (!condition) std::abort();
}

/// Checks that everything handed on lies inside the frame's data area and has a sane size.
class Checking_Sink : public Frame_Sink {
public:
    Checking_Sink(const std::uint8_t* begin, const std::uint8_t* end) : begin(begin), end(end) {}

    void pdo_payload(const std::uint8_t* data, std::size_t size) override {
        check(size <= max_pdo_bytes && data >= begin && data + size <= end);
        pdo.assign(data, data + size);
    }
    void sdo_message(const std::uint8_t* data, std::size_t size) override {
        check(size >= min_sdo_bytes && size <= max_sdo_bytes && data >= begin && data + size <= end);
        check(queue.enqueue(data, size) == SPB_Queue::stored);  // every split message fits the queue
        sdo.emplace_back(data, data + size);
    }

    Bytes pdo;
    std::vector<Bytes> sdo;

private:
    const std::uint8_t* begin;
    const std::uint8_t* end;
    SPB_Queue queue{64};
};

const ID_Filter from_device = ID_Filter::allow_only(Raw_Frame::device_id);
const ID_Filter to_host = ID_Filter::allow_only(Raw_Frame::host_id);

Receive_Result receive(const Bytes& frame, bool with_crc, Checking_Sink& sink) {
    Receive_Counters counters;
    const Receive_Result result = receive_frame(frame.data(), frame.size(), from_device, to_host, with_crc, counters, sink);
    const std::uint32_t failures = counters.header + counters.source_id + counters.destination_id + counters.length + counters.crc;
    check(failures + counters.ok == 1);  // exactly one frame-check outcome is counted
    return result;
}

/// Splits raw data; messages must lie end to end from the start.
void fuzz_splitter(const Bytes& data) {
    std::size_t end = 0;
    SDO_Splitter::split(data.data(), data.size(), [&](const std::uint8_t* message, std::size_t length) {
        check(message == data.data() + end && length >= min_sdo_bytes && length <= max_sdo_bytes);
        end += length;
        check(end <= data.size());
    });
}

/// Any bytes, taken as a delivered frame.
void fuzz_raw(const Bytes& frame, bool with_crc) {
    const bool long_enough = frame.size() >= Raw_Frame::min_length_bytes;
    const std::uint8_t* begin = long_enough ? frame.data() + Raw_Frame::header_bytes : frame.data();
    const std::uint8_t* end = long_enough ? frame.data() + frame.size() - Raw_Frame::crc_bytes : frame.data();
    Checking_Sink sink(begin, end);  // a frame too short for a payload must deliver nothing
    receive(frame, with_crc, sink);
}

/// The bytes made into a frame that passes every frame check, so that the payload is explored.
void fuzz_valid_frame(Bytes body) {
    if (body.size() < Raw_Frame::min_length_bytes) return;
    std::size_t size = body.size() > Raw_Frame::max_length_bytes ? Raw_Frame::max_length_bytes : body.size();
    size -= size % Raw_Frame::length_unit_bytes;
    body.resize(size);
    Raw_Frame frame;
    frame.payload = body.data() + Raw_Frame::header_bytes;
    frame.source_id = Raw_Frame::device_id;
    frame.destination_id = Raw_Frame::host_id;
    frame.length = static_cast<std::uint16_t>(size);
    frame.reply_quota = body[5];
    check(frame.pack(body.data(), true) == PACK_OK);
    Checking_Sink sink(body.data() + Raw_Frame::header_bytes, body.data() + size - Raw_Frame::crc_bytes);
    const Receive_Result result = receive(body, true, sink);
    check(result != Receive_Result::LENGTH_ERROR && result != Receive_Result::CRC_ERROR);
}

/// Builds a device frame from the bytes and receives it: what arrives must be what was sent.
void fuzz_round_trip(const Bytes& body, std::uint8_t timestamp_code) {
    if (body.empty()) return;
    Frame_Builder builder(Raw_Frame::device_id, Raw_Frame::host_id, true, timestamp_code);
    Bytes buffer(Raw_Frame::max_length_bytes);
    std::size_t length = 0;
    const std::size_t data_size = body.size() - 1;
    const Pack_Result packed = builder.build(buffer.data(), body[0], body.data() + 1, data_size, 0, length);
    check((packed == PACK_OK) == (data_size <= builder.max_data_size()));
    if (packed != PACK_OK) return;
    buffer.resize(length);

    Checking_Sink sink(buffer.data() + Raw_Frame::header_bytes, buffer.data() + length - Raw_Frame::crc_bytes);
    const Receive_Result result = receive(buffer, true, sink);
    if (result == Receive_Result::PDO) {
        check(sink.pdo.size() >= data_size);
        check(Bytes(sink.pdo.begin(), sink.pdo.begin() + static_cast<std::ptrdiff_t>(data_size)) == Bytes(body.begin() + 1, body.end()));
    }
    if (result != Receive_Result::SDO) return;
    std::vector<Bytes> direct;
    const Bytes padded(buffer.begin() + builder.data_offset(), buffer.end() - Raw_Frame::crc_bytes);
    SDO_Splitter::split(padded.data(), padded.size(), [&](const std::uint8_t* m, std::size_t n) { direct.emplace_back(m, m + n); });
    check(direct == sink.sdo);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t mode = data[0];
    const Bytes body(data + 1, data + size);
    switch (mode & 3) {
        case 0: fuzz_splitter(body); break;
        case 1: fuzz_raw(body, (mode & 4) != 0); break;
        case 2: fuzz_valid_frame(body); break;
        default: fuzz_round_trip(body, static_cast<std::uint8_t>((mode >> 2) & 3)); break;
    }
    return 0;
}
