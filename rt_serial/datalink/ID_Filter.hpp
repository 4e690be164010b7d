#pragma once

#include <array>
#include <cstdint>

namespace Quorin_Core::RT_Serial::Datalink {

/// A set of link identifiers used either as an allow list (mode true) or a block list
/// (mode false). One bit per identifier: bit id & 7 of byte id >> 3.
class ID_Filter {
public:
    /// An empty filter: with mode true it lets nothing pass, with mode false everything.
    explicit ID_Filter(bool mode = true) : mode(mode) {}

    /// An allow list holding only `id`.
    static ID_Filter allow_only(std::uint8_t id);

    /// Puts `id` into the set.
    void insert(std::uint8_t id) { bitmap[id >> 3] |= bit(id); }
    /// Takes `id` out of the set.
    void erase(std::uint8_t id) { bitmap[id >> 3] &= static_cast<std::uint8_t>(~bit(id)); }
    /// True when `id`'s bit equals the mode, that is when a frame with this identifier passes.
    bool is_available(std::uint8_t id) const { return ((bitmap[id >> 3] & bit(id)) != 0) == mode; }

    /// true: the set is an allow list; false: a block list.
    bool mode;

private:
    static constexpr std::uint8_t bit(std::uint8_t id) { return static_cast<std::uint8_t>(1u << (id & 7)); }

    std::array<std::uint8_t, 32> bitmap{};
};

}  // namespace Quorin_Core::RT_Serial::Datalink
