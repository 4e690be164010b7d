#include "utility/Handler_Memory.hpp"

#include <new>

namespace Quorin_Core::Utility {

void* Handler_Memory::allocate(std::size_t size) {
    if (size <= storage_bytes && !in_use.exchange(true, std::memory_order_acquire)) return storage;
    return ::operator new(size);
}

void Handler_Memory::deallocate(void* pointer) {
    if (pointer == storage) {
        in_use.store(false, std::memory_order_release);
        return;
    }
    ::operator delete(pointer);
}

}  // namespace Quorin_Core::Utility
