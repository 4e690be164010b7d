#include "tools/devsim/Counters.hpp"

namespace Quorin_Tools::Devsim {

static_assert(sizeof(Counters) == 33 * sizeof(std::uint64_t), "a counter is missing from Counters::fields()");

const std::array<std::pair<const char*, std::uint64_t Counters::*>, 33>& Counters::fields() {
    using C = Counters;
    static const std::array<std::pair<const char*, std::uint64_t C::*>, 33> table{{
        {"bytes_in", &C::bytes_in},
        {"bytes_out", &C::bytes_out},
        {"discarded_bytes", &C::discarded_bytes},
        {"partial_timeouts", &C::partial_timeouts},
        {"frames_ok", &C::frames_ok},
        {"length_errors", &C::length_errors},
        {"header_errors", &C::header_errors},
        {"source_id_errors", &C::source_id_errors},
        {"destination_id_errors", &C::destination_id_errors},
        {"crc_errors", &C::crc_errors},
        {"payload_errors", &C::payload_errors},
        {"rpdo_frames", &C::rpdo_frames},
        {"tpdo_requests", &C::tpdo_requests},
        {"sdo_frames", &C::sdo_frames},
        {"other_frames", &C::other_frames},
        {"sdo_messages", &C::sdo_messages},
        {"sdo_unparsed", &C::sdo_unparsed},
        {"sdo_whole_requests", &C::sdo_whole_requests},
        {"tpdo_answers", &C::tpdo_answers},
        {"tpdo_truncated", &C::tpdo_truncated},
        {"sdo_answer_frames", &C::sdo_answer_frames},
        {"sdo_answers", &C::sdo_answers},
        {"sdo_held_back", &C::sdo_held_back},
        {"sdo_answers_lost", &C::sdo_answers_lost},
        {"no_room", &C::no_room},
        {"faults_dropped", &C::faults_dropped},
        {"faults_crc", &C::faults_crc},
        {"faults_source", &C::faults_source},
        {"faults_length", &C::faults_length},
        {"faults_stray", &C::faults_stray},
        {"write_errors", &C::write_errors},
        {"unplugs", &C::unplugs},
        {"replugs", &C::replugs},
    }};
    return table;
}

void Counters::print(std::ostream& out) const {
    for (const auto& [name, member] : fields()) out << name << ": " << this->*member << '\n';
}

}  // namespace Quorin_Tools::Devsim
