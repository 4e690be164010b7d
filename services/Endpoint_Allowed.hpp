#pragma once

#include <boost/asio/ip/udp.hpp>
#include <boost/thread/shared_mutex.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "services/Sparse_Array.hpp"

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

    /// Called with the new EPID while the link is still invisible to readers.
    using On_Added = std::function<void(unsigned char epid)>;

    /// Links `endpoint` and returns its EPID; nothing when it is linked already or all 256
    /// EPIDs are in use. `on_added` runs before any reader can see the new link.
    std::optional<unsigned char> add(const boost::asio::ip::udp::endpoint& endpoint, const On_Added& on_added = {});
    /// Unlinks `endpoint` and frees its EPID; false when it was not linked.
    bool remove(const boost::asio::ip::udp::endpoint& endpoint);
    /// Unlinks every endpoint; EPIDs are handed out from 0 again.
    void clear();
    /// The endpoint linked with `epid`; false when that EPID is free.
    bool get(unsigned char epid, boost::asio::ip::udp::endpoint& out) const;
    /// The EPID of `endpoint`; false when it is not linked.
    bool to_epid(const boost::asio::ip::udp::endpoint& endpoint, unsigned char& epid) const;
    /// Every link as (EPID, endpoint), in EPID order.
    void list_all(std::vector<std::pair<unsigned char, boost::asio::ip::udp::endpoint>>& out) const;

private:
    std::unordered_map<boost::asio::ip::udp::endpoint, std::uint8_t, Endpoint_Hash> epid_map;
    Sparse_Array<Endpoint_Struct> slots{max_links};
    mutable boost::shared_mutex mutex;
};

}  // namespace Quorin_Core
