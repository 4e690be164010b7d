#include "services/TPDO_Queue.hpp"

#include <algorithm>

namespace Quorin_Core {

bool TPDO_Queue::push(const std::uint8_t* data, std::size_t size) {
    size = std::min(size, slot_bytes);
    std::lock_guard lock(mutex);
    std::size_t index = 0;
    if (count == slot_count) {
        // The newest waiting slot: with two slots or more it is never the one in flight.
        index = (head + count - 1) % slot_count;
        ++replaced_count;
    } else {
        index = (head + count) % slot_count;
        ++count;
    }
    std::copy_n(data, size, slots[index].data());
    sizes[index] = size;
    const bool wake = !in_flight && !flush_scheduled;
    if (wake) flush_scheduled = true;
    return wake;
}

TPDO_Queue::Datagram TPDO_Queue::start_flush() {
    std::lock_guard lock(mutex);
    flush_scheduled = false;
    if (in_flight || count == 0) return {};
    return head_in_flight();
}

TPDO_Queue::Datagram TPDO_Queue::finish_send() {
    std::lock_guard lock(mutex);
    if (!in_flight) return {};
    head = (head + 1) % slot_count;
    --count;
    in_flight = false;
    if (count == 0) return {};
    return head_in_flight();
}

void TPDO_Queue::drop_in_flight() {
    std::lock_guard lock(mutex);
    if (!in_flight) return;
    head = (head + 1) % slot_count;
    --count;
    in_flight = false;
}

std::uint64_t TPDO_Queue::replaced() const {
    std::lock_guard lock(mutex);
    return replaced_count;
}

TPDO_Queue::Datagram TPDO_Queue::head_in_flight() {
    in_flight = true;
    return {slots[head].data(), sizes[head]};
}

}  // namespace Quorin_Core
