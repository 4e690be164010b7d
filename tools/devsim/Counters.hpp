#pragma once

#include <array>
#include <cstdint>
#include <ostream>
#include <utility>

namespace Quorin_Tools::Devsim {

/// What a simulator has seen and done since it started. Plain counts owned by the simulator's
/// thread; other threads read copies.
struct Counters {
    std::uint64_t bytes_in = 0;            ///< bytes read from the link
    std::uint64_t bytes_out = 0;           ///< bytes written to the link
    std::uint64_t discarded_bytes = 0;     ///< bytes that were not part of a good frame
    std::uint64_t partial_timeouts = 0;    ///< frame starts given up because the rest never came

    std::uint64_t frames_ok = 0;           ///< frames that passed every check
    std::uint64_t length_errors = 0;       ///< length word not matching the frame
    std::uint64_t header_errors = 0;       ///< wrong magic
    std::uint64_t source_id_errors = 0;    ///< source identifier other than 0x00
    std::uint64_t destination_id_errors = 0;  ///< destination identifier other than 0xA0
    std::uint64_t crc_errors = 0;          ///< CRC mismatch (never counted in native-USB mode)
    std::uint64_t payload_errors = 0;      ///< descriptor header longer than the payload area

    std::uint64_t rpdo_frames = 0;         ///< PDO frames with reply quota 0
    std::uint64_t tpdo_requests = 0;       ///< PDO frames with a reply quota
    std::uint64_t sdo_frames = 0;          ///< SDO frames
    std::uint64_t other_frames = 0;        ///< other payload protocols (not answered)
    std::uint64_t sdo_messages = 0;        ///< SDO messages received
    std::uint64_t sdo_unparsed = 0;        ///< SDO frames whose data ended in bytes that are no message
    std::uint64_t sdo_whole_requests = 0;  ///< 0xF0 requests: the whole data of their frame

    std::uint64_t tpdo_answers = 0;        ///< TPDO answers built
    std::uint64_t tpdo_truncated = 0;      ///< TPDO answers cut to fit the reply quota
    std::uint64_t sdo_answer_frames = 0;   ///< SDO answer frames built
    std::uint64_t sdo_answers = 0;         ///< SDO answer messages put into answer frames
    std::uint64_t sdo_held_back = 0;       ///< SDO answers waiting for room in a later answer frame
    std::uint64_t sdo_answers_lost = 0;    ///< SDO answers lost: dropped frame, full store or unplug
    std::uint64_t no_room = 0;             ///< requests whose reply quota is below one frame

    std::uint64_t faults_dropped = 0;      ///< answers not sent
    std::uint64_t faults_crc = 0;          ///< answers with a corrupted CRC
    std::uint64_t faults_source = 0;       ///< answers with a wrong source identifier
    std::uint64_t faults_length = 0;       ///< answers with a wrong length word
    std::uint64_t faults_stray = 0;        ///< answers preceded by stray bytes

    std::uint64_t write_errors = 0;        ///< writes to the link that failed
    std::uint64_t unplugs = 0;             ///< times the pty was closed
    std::uint64_t replugs = 0;             ///< times a new pty was published after an unplug

    /// Equal when every counter is.
    bool operator==(const Counters&) const = default;

    /// Writes one "name: value" line per counter.
    void print(std::ostream& out) const;

    /// Every counter with its printed name, in declaration order.
    static const std::array<std::pair<const char*, std::uint64_t Counters::*>, 33>& fields();
};

}  // namespace Quorin_Tools::Devsim
