#include "tools/devsim/Trace_Entry.hpp"

namespace Quorin_Tools::Devsim {

namespace {

using Quorin_Core::RT_Serial::Datalink::Receive_Result;

const char* check_name(Receive_Result check) {
    switch (check) {
        case Receive_Result::LENGTH_ERROR: return "length";
        case Receive_Result::HEADER_ERROR: return "header";
        case Receive_Result::SOURCE_ID_ERROR: return "source";
        case Receive_Result::DESTINATION_ID_ERROR: return "destination";
        case Receive_Result::CRC_ERROR: return "crc";
        default: return "ok";
    }
}

}  // namespace

void Trace_Entry::write(std::ostream& out) const {
    out << read_ns << ' ' << handled_ns << ' ' << to_string(kind) << ' ' << length << ' ' << reply_quota << ' '
        << check_name(check) << ' ' << messages << '\n';
}

}  // namespace Quorin_Tools::Devsim
