#pragma once

#include <boost/asio/ip/udp.hpp>
#include <boost/thread/locks.hpp>
#include <boost/thread/shared_mutex.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "utility/Sparse_Array.hpp"

namespace Quorin_Core {

/// The links of an SDO mailbox: the client endpoints allowed to use it, each with its
/// one-byte endpoint identifier (EPID). An EPID freed by a removal is handed out again before
/// a new one, the most recently freed first; after `clear` EPIDs start from 0 again.
///
/// Threading: every operation may be called from any thread. Readers (`get`, `to_epid`,
/// `list_all`) take `mutex` shared; `add`, `remove` and `clear` take it exclusively.
class Endpoint_Allowed {
public:
    /// Most links at once: one per EPID.
    static constexpr unsigned max_links = 256;

    /// FNV-1a over the address bytes (network order) and the port's two bytes in host order.
    struct Endpoint_Hash {
        static constexpr std::uint64_t offset_basis = 2166136261u;
        static constexpr std::uint64_t prime = 16777619u;

        /// FNV-1a of `size` bytes, continuing from `hash`.
        static std::uint64_t fnv1a_hash(const std::uint8_t* data, std::size_t size,
                                        std::uint64_t hash = offset_basis);
        std::size_t operator()(const boost::asio::ip::udp::endpoint& endpoint) const noexcept;
    };

    /// One slot of the EPID table; a value-initialised one is empty (0.0.0.0:0).
    struct Endpoint_Struct {
        boost::asio::ip::udp::endpoint endpoint;
        bool empty = true;
    };

    /// Called with an EPID while the exclusive lock is held: the change it belongs to is not
    /// yet visible to readers.
    using On_Change = std::function<void(unsigned char epid)>;

    /// Whether a free EPID may be handed out now.
    using Usable = std::function<bool(unsigned char epid)>;

    /// Links `endpoint` and returns its EPID: the first free one in the usual order that
    /// `usable` allows (every one without it). Nothing when it is linked already or no EPID
    /// can be had. `on_added` runs before any reader can see the new link.
    std::optional<unsigned char> add(const boost::asio::ip::udp::endpoint& endpoint, const On_Change& on_added = {},
                                     const Usable& usable = {});
    /// Unlinks `endpoint` and frees its EPID; false when it was not linked. `on_removed` runs
    /// with the freed EPID before any reader can see it free.
    bool remove(const boost::asio::ip::udp::endpoint& endpoint, const On_Change& on_removed = {});
    /// Unlinks every endpoint; EPIDs are handed out from 0 again. `on_removed` runs for each.
    void clear(const On_Change& on_removed = {});
    /// The endpoint linked with `epid`; false when that EPID is free.
    bool get(unsigned char epid, boost::asio::ip::udp::endpoint& out) const;
    /// The EPID of `endpoint`; false when it is not linked.
    bool to_epid(const boost::asio::ip::udp::endpoint& endpoint, unsigned char& epid) const;
    /// Every link as (EPID, endpoint), in EPID order.
    void list_all(std::vector<std::pair<unsigned char, boost::asio::ip::udp::endpoint>>& out) const;

    /// Calls use(epid) under the shared lock when `endpoint` is linked; false when it is not.
    template <typename Use>
    bool with_epid(const boost::asio::ip::udp::endpoint& endpoint, Use&& use) const {
        boost::shared_lock lock(mutex);
        const auto found = epid_map.find(endpoint);
        if (found == epid_map.end()) return false;
        use(found->second);
        return true;
    }
    /// Calls use(slot) with the slot of `epid` (empty when the EPID is free) under the shared lock.
    template <typename Use>
    void with_slot(unsigned char epid, Use&& use) const {
        boost::shared_lock lock(mutex);
        use(slots[epid]);
    }

private:
    std::unordered_map<boost::asio::ip::udp::endpoint, std::uint8_t, Endpoint_Hash> epid_map;
    Utility::Sparse_Array<Endpoint_Struct> slots{max_links};
    mutable boost::shared_mutex mutex;
};

}  // namespace Quorin_Core
