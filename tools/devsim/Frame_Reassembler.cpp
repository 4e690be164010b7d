#include "tools/devsim/Frame_Reassembler.hpp"

#include "rt_serial/datalink/Raw_Frame.hpp"

namespace Quorin_Tools::Devsim {

using Quorin_Core::RT_Serial::Datalink::Raw_Frame;

void Frame_Reassembler::append(const std::uint8_t* data, std::size_t size) {
    if (start >= compact_threshold_bytes) {
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(start));
        start = 0;
    }
    buffer.insert(buffer.end(), data, data + size);
}

std::span<const std::uint8_t> Frame_Reassembler::next() {
    hunt();
    if (held() <= size_byte_offset) return {};
    const std::uint8_t* front = buffer.data() + start;
    const std::size_t length = Raw_Frame::length_from_word(static_cast<std::uint16_t>(front[size_byte_offset] << 8));
    if (held() < length) return {};
    return {front, length};
}

void Frame_Reassembler::consume() {
    const std::span<const std::uint8_t> frame = next();
    start += frame.size();
}

void Frame_Reassembler::skip() {
    if (held() == 0) return;
    ++discarded;
    drop(1);
}

void Frame_Reassembler::clear() {
    buffer.clear();
    start = 0;
}

void Frame_Reassembler::hunt() {
    std::size_t at = start;
    const std::size_t end = buffer.size();
    while (at < end) {
        if (buffer[at] == Raw_Frame::magic_0 && (at + 1 == end || buffer[at + 1] == Raw_Frame::magic_1)) break;
        ++at;
    }
    discarded += at - start;
    drop(at - start);
}

void Frame_Reassembler::drop(std::size_t count) {
    start += count;
    if (start == buffer.size()) clear();
}

}  // namespace Quorin_Tools::Devsim
