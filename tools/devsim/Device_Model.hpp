#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "rt_serial/datalink/Frame_Builder.hpp"
#include "rt_serial/datalink/ID_Filter.hpp"
#include "rt_serial/datalink/Payload_Descriptor.hpp"
#include "rt_serial/datalink/Raw_Frame.hpp"
#include "rt_serial/datalink/Receive_Result.hpp"
#include "tools/devsim/Behaviour.hpp"
#include "tools/devsim/Counters.hpp"
#include "tools/devsim/Frame_Kind.hpp"

namespace Quorin_Tools::Devsim {

/// The device's side of the protocol, without I/O: checks the server's frames (magic,
/// identifiers 0x00 to 0xA0, length word, CRC unless native USB) and answers them as a device
/// would. An RPDO frame (PDO, reply quota 0) is kept and not answered; a TPDO request (PDO,
/// reply quota > 0) gets a TPDO frame; an SDO frame gets an SDO frame with the echo of each
/// message it carried (a frame whose data starts with 0xF0 is one request to its end, answered
/// with 0xF1). Every answer fits in the request's reply quota (quota * 4 bytes, at
/// most 1024); SDO answers that do not fit wait for the next SDO exchange, in order.
/// Not thread-safe: one thread owns it.
class Device_Model {
public:
    static constexpr std::size_t max_held_answers = 16384;  ///< SDO answers waiting; beyond, the oldest go
    static constexpr std::size_t reply_unit_bytes = 4;      ///< a reply quota counts these
    static constexpr std::uint8_t whole_request_header = 0xF0;  ///< a request that fills its frame
    static constexpr std::uint8_t whole_answer_header = 0xF1;   ///< its answer
    static constexpr std::size_t whole_request_min_bytes = 6;   ///< header, three bytes, EPID, one more
    /// Frame and descriptor overhead of an answer: 6 header bytes, protocol, flags, 2 CRC bytes.
    static constexpr std::size_t answer_overhead_bytes =
        Quorin_Core::RT_Serial::Datalink::Raw_Frame::overhead_bytes +
        Quorin_Core::RT_Serial::Payload::Payload_Descriptor::base_header_bytes;

    /// An answer frame, ready to be sent (length 0: none).
    struct Answer {
        std::array<std::uint8_t, Quorin_Core::RT_Serial::Datalink::Raw_Frame::max_length_bytes> bytes{};  ///< the frame
        std::size_t length = 0;  ///< frame length in bytes
    };

    /// What handling one good frame gave.
    struct Outcome {
        Frame_Kind kind = Frame_Kind::OTHER;  ///< what the frame was
        std::uint16_t reply_quota = 0;        ///< 4-byte units granted for the answer
        std::uint16_t messages = 0;           ///< SDO messages the frame carried
        std::uint16_t answers = 0;            ///< SDO answers put into the answer frame
    };

    /// A device that counts into `counters`; with `native_usb` no CRC is checked or sent.
    Device_Model(bool native_usb, Counters& counters);

    /// Runs the frame checks on `size` bytes from the server and counts the result.
    Quorin_Core::RT_Serial::Datalink::Receive_Result check(const std::uint8_t* frame, std::size_t size);

    /// Handles a frame that passed check(): keeps RPDO data, builds the answer into `answer`
    /// per `behaviour` (length 0 when nothing is to be sent).
    Outcome handle(const std::uint8_t* frame, std::size_t size, const Behaviour& behaviour, Answer& answer);

    /// The data of the last RPDO frame, padding included; empty before the first.
    std::span<const std::uint8_t> last_rpdo() const { return {rpdo.data(), rpdo_size}; }
    /// SDO answers waiting for room.
    std::size_t held_answers() const { return held.size(); }
    /// Forgets everything a power cycle loses: RPDO data, the TPDO counter, waiting answers.
    void reset();

    /// Biggest answer frame a reply quota allows: quota * 4 rounded down to a frame length,
    /// at most 1024; 0 when not even a 16-byte frame fits.
    static std::size_t answer_room(std::uint16_t reply_quota);

private:
    void answer_tpdo(std::uint16_t reply_quota, const Behaviour& behaviour, Answer& answer);
    /// Copies the TPDO data `behaviour` asks for into scratch; returns its size.
    std::size_t tpdo_data(const Behaviour& behaviour);
    void answer_sdo(const Quorin_Core::RT_Serial::Payload::Payload_Descriptor& payload, std::uint16_t reply_quota,
                    Answer& answer, Outcome& outcome);
    /// Splits an SDO payload's data and queues the echo of each message; returns how many.
    std::uint16_t take_requests(const std::uint8_t* data, std::size_t size);
    /// Queues one answer, dropping the oldest when the store is full.
    void hold(const std::uint8_t* message, std::size_t size);
    /// Moves the front answers that fit into `capacity` bytes to scratch; returns their count and bytes.
    std::pair<std::uint16_t, std::size_t> gather_answers(std::size_t capacity);

    Counters& counters;
    bool with_crc;
    Quorin_Core::RT_Serial::Datalink::ID_Filter from_host;
    Quorin_Core::RT_Serial::Datalink::ID_Filter to_device;
    Quorin_Core::RT_Serial::Datalink::Frame_Builder builder;
    std::array<std::uint8_t, Quorin_Core::RT_Serial::Datalink::Raw_Frame::max_length_bytes> rpdo{};
    std::size_t rpdo_size = 0;
    std::uint32_t tpdo_counter = 0;
    std::deque<std::vector<std::uint8_t>> held;
    std::array<std::uint8_t, Quorin_Core::RT_Serial::Datalink::Raw_Frame::max_length_bytes> scratch{};
};

}  // namespace Quorin_Tools::Devsim
