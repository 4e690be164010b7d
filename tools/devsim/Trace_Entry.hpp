#pragma once

#include <cstdint>
#include <ostream>

#include "rt_serial/datalink/Receive_Result.hpp"
#include "tools/devsim/Frame_Kind.hpp"

namespace Quorin_Tools::Devsim {

/// One frame received from the server, as the trace records it. Times are steady-clock
/// (CLOCK_MONOTONIC) nanoseconds, comparable with the server's own steady-clock readings.
struct Trace_Entry {
    std::uint64_t read_ns = 0;     ///< when the read that completed the frame returned
    std::uint64_t handled_ns = 0;  ///< when it was handled: later than read_ns when the line is paced
    Frame_Kind kind = Frame_Kind::BAD;  ///< what it was
    Quorin_Core::RT_Serial::Datalink::Receive_Result check =
        Quorin_Core::RT_Serial::Datalink::Receive_Result::FRAME_OK;  ///< first failed check, or FRAME_OK
    std::uint16_t length = 0;       ///< frame length in bytes
    std::uint16_t reply_quota = 0;  ///< 4-byte units granted for the answer
    std::uint16_t messages = 0;     ///< SDO messages it carried

    /// The line header of a trace file.
    static constexpr const char* header = "# read_ns handled_ns kind length reply_quota check sdo_messages";
    /// Writes the entry as one line, fields as in `header`.
    void write(std::ostream& out) const;
};

}  // namespace Quorin_Tools::Devsim
