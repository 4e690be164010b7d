#include "rt_serial/driver/Pending_Bytes.hpp"

#include <algorithm>
#include <cstring>

namespace Quorin_Core::RT_Serial::Driver {

void Pending_Bytes::consume(std::size_t count) { begin += std::min(count, end - begin); }

std::size_t Pending_Bytes::append(const std::uint8_t* data, std::size_t count) {
    const auto free = room();
    count = std::min(count, free.size());
    std::memcpy(free.data(), data, count);
    end += count;
    return count;
}

bool Pending_Bytes::put_back(const std::uint8_t* data, std::size_t count) {
    const std::size_t kept = end - begin;
    if (count + kept > capacity) return false;
    std::memmove(bytes.data() + count, bytes.data() + begin, kept);
    std::memcpy(bytes.data(), data, count);
    begin = 0;
    end = count + kept;
    return true;
}

std::span<std::uint8_t> Pending_Bytes::room() {
    compact();
    return {bytes.data() + end, capacity - end};
}

void Pending_Bytes::compact() {
    if (begin == 0) return;
    std::memmove(bytes.data(), bytes.data() + begin, end - begin);
    end -= begin;
    begin = 0;
}

}  // namespace Quorin_Core::RT_Serial::Driver
