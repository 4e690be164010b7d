#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Quorin_Core::Utility {

/// A table of at most `capacity` values addressed by small ids. A freed id is handed out
/// again before a new one: the most recently freed first. Reading an id that was never
/// handed out, or was freed, yields `default_value_` (a value-initialised T).
///
/// Threading: none of its own; its owner guards it.
template <typename T>
class Sparse_Array {
public:
    /// The value of every free or never-used slot.
    static inline const T default_value_{};

    /// An empty table that hands out at most `capacity` ids (0 to capacity - 1).
    explicit Sparse_Array(unsigned long long capacity) : capacity(capacity) {}

    /// Stores `value` and returns its id; nothing when all `capacity` ids are in use.
    std::optional<std::uint16_t> add(const T& value) {
        return add(value, [](std::uint16_t) { return true; });
    }

    /// Stores `value` under the first id in the usual order that `usable(id)` allows. A new id
    /// passed over is kept as free, behind the freed ones. Nothing when no id is usable.
    template <typename Usable>
    std::optional<std::uint16_t> add(const T& value, Usable&& usable) {
        for (auto free = free_ids.rbegin(); free != free_ids.rend(); ++free) {
            if (!usable(*free)) continue;
            const std::uint16_t id = *free;
            free_ids.erase(std::next(free).base());
            slots_[id] = value;
            return id;
        }
        while (slots_.size() < capacity) {
            const auto id = static_cast<std::uint16_t>(slots_.size());
            if (usable(id)) {
                slots_.push_back(value);
                return id;
            }
            slots_.push_back(default_value_);
            free_ids.push_front(id);
        }
        return std::nullopt;
    }

    /// Frees `id`: its slot reads as the default value until reused. Freeing a free id does
    /// nothing, so no id is ever handed out twice. Throws std::out_of_range for an id at or
    /// beyond the number of slots.
    void remove(std::uint16_t id) {
        if (id >= slots_.size())
            throw std::out_of_range("id " + std::to_string(id) + " of " + std::to_string(slots_.size()) + " slots");
        if (std::find(free_ids.begin(), free_ids.end(), id) != free_ids.end()) return;
        slots_[id] = default_value_;
        free_ids.push_back(id);
    }

    /// Frees every id; the next add hands out 0 again.
    void clear() {
        slots_.clear();
        free_ids.clear();
    }

    /// The value at `id`, or the default value beyond the last slot.
    const T& operator[](std::uint16_t id) const { return id < slots_.size() ? slots_[id] : default_value_; }

    /// Number of slots, used or freed.
    std::size_t size() const { return slots_.size(); }

private:
    std::vector<T> slots_;
    std::deque<std::uint16_t> free_ids;  ///< back = most recently freed
    unsigned long long capacity;
};

}  // namespace Quorin_Core::Utility
