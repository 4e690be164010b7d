#pragma once

#include <atomic>
#include <cstddef>
#include <type_traits>
#include <utility>

namespace Quorin_Core::Utility {

/// Storage for the handler of one asynchronous operation at a time, so that an operation
/// repeated every cycle (a receive, a send, a post) needs no heap allocation. A second
/// operation while the storage is taken, or a larger one, falls back to the heap.
///
/// Threading: `allocate` and `deallocate` may run on different threads (a handler posted by a
/// session thread is freed on the PDO thread); the storage is claimed with an atomic flag.
/// The owner must outlive every operation bound to it: the operation's handler keeps the
/// owner alive, and the storage is given back before the handler is destroyed.
class Handler_Memory {
public:
    /// Bytes kept for one operation; enough for a socket operation whose handler holds a
    /// shared pointer.
    static constexpr std::size_t storage_bytes = 512;

    Handler_Memory() = default;
    Handler_Memory(const Handler_Memory&) = delete;
    Handler_Memory& operator=(const Handler_Memory&) = delete;

    /// The storage if it is free and large enough, else heap memory.
    void* allocate(std::size_t size);
    /// Gives back what `allocate` returned.
    void deallocate(void* pointer);

    /// The allocator an operation finds through its handler.
    template <typename T>
    class Allocator {
    public:
        using value_type = T;
        explicit Allocator(Handler_Memory& memory) noexcept : memory(&memory) {}
        template <typename U>
        Allocator(const Allocator<U>& other) noexcept : memory(other.memory) {}
        T* allocate(std::size_t n) { return static_cast<T*>(memory->allocate(sizeof(T) * n)); }
        void deallocate(T* pointer, std::size_t) { memory->deallocate(pointer); }
        bool operator==(const Allocator& other) const noexcept { return memory == other.memory; }
        bool operator!=(const Allocator& other) const noexcept { return memory != other.memory; }

    private:
        template <typename>
        friend class Allocator;
        Handler_Memory* memory;
    };

    /// A handler that carries this memory as its associated allocator.
    template <typename Handler>
    class Bound {
    public:
        using allocator_type = Allocator<Handler>;
        Bound(Handler_Memory& memory, Handler handler) : memory(memory), handler(std::move(handler)) {}
        allocator_type get_allocator() const noexcept { return allocator_type(memory); }
        template <typename... Args>
        void operator()(Args&&... args) {
            handler(std::forward<Args>(args)...);
        }

    private:
        Handler_Memory& memory;
        Handler handler;
    };

    /// `handler`, allocating its operation in this memory.
    template <typename Handler>
    Bound<std::decay_t<Handler>> bind(Handler&& handler) {
        return Bound<std::decay_t<Handler>>(*this, std::forward<Handler>(handler));
    }

private:
    alignas(std::max_align_t) unsigned char storage[storage_bytes];
    std::atomic<bool> in_use{false};
};

}  // namespace Quorin_Core::Utility
