#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace Quorin_Core {

namespace RT_Serial::Control {
class Session;
}

/// The per-device objects of a UDP service (PDO channels, SDO mailboxes): at most one a device,
/// in order of opening, each on a port of its own counted up from the first port and never
/// given back (after 65535 the count starts at the first port again).
///
/// `Entry` offers `open()` (starts it), `serves(const Session*)` (a null session matches
/// none), `local_port()`, `orphaned()` (its device is gone) and `destroy()` (stops it; safe to
/// call twice).
///
/// Threading: every member may be called from any thread; `mutex` guards the list and the
/// port count. An orphan (a device deleted while a command was opening its entry) serves
/// nobody: each look but a removal sweeps it away first, telling `on_orphan`.
template <typename Entry>
class Device_Registry {
public:
    using Session = RT_Serial::Control::Session;
    using Entry_Ptr = std::shared_ptr<Entry>;

    explicit Device_Registry(std::uint16_t first_port, std::function<void(const Entry&)> on_orphan = {})
        : next_port(first_port), first_port(first_port), on_orphan(std::move(on_orphan)) {}
    ~Device_Registry() { remove_all(); }
    Device_Registry(const Device_Registry&) = delete;
    Device_Registry& operator=(const Device_Registry&) = delete;

    /// Unless `taken(entry)` holds for an entry, makes one with `make(port)` on the next port,
    /// enters it, opens it and returns it; null when taken. What `make` throws passes on, and
    /// the port stays used up.
    template <typename Taken, typename Make>
    Entry_Ptr add(Taken taken, Make make) {
        std::lock_guard lock(mutex);
        sweep_orphans();
        if (std::any_of(entries.begin(), entries.end(), [&](const Entry_Ptr& entry) { return taken(*entry); })) return nullptr;
        const std::uint16_t port = next_port != 0 ? next_port : first_port;
        next_port = static_cast<std::uint16_t>(port + 1);
        Entry_Ptr entry = make(port);
        entries.push_back(entry);
        entry->open();
        return entry;
    }
    /// The entry of `session`, or else the one on local `port` (0 matches none); null if none.
    Entry_Ptr find(const Session* session, unsigned short port) {
        std::lock_guard lock(mutex);
        sweep_orphans();
        const auto found = position(session, port);
        return found == entries.end() ? nullptr : *found;
    }
    /// Destroys and forgets the entry `find` would return; false when none matches.
    bool remove(const Session* session, unsigned short port) {
        std::lock_guard lock(mutex);
        const auto found = position(session, port);
        if (found == entries.end()) return false;
        const Entry_Ptr entry = *found;
        entries.erase(found);
        entry->destroy();
        return true;
    }
    /// Destroys and forgets every entry.
    void remove_all() {
        std::lock_guard lock(mutex);
        for (const Entry_Ptr& entry : entries) entry->destroy();
        entries.clear();
    }
    /// Calls `visit` for each entry in order of opening, under the lock.
    template <typename Visit>
    void for_each(Visit visit) {
        std::lock_guard lock(mutex);
        sweep_orphans();
        for (const Entry_Ptr& entry : entries) visit(*entry);
    }
    std::size_t size() {
        std::lock_guard lock(mutex);
        sweep_orphans();
        return entries.size();
    }

private:
    typename std::vector<Entry_Ptr>::iterator position(const Session* session, unsigned short port) {
        return std::find_if(entries.begin(), entries.end(), [&](const Entry_Ptr& entry) {
            return entry->serves(session) || (port != 0 && entry->local_port() == port);
        });
    }
    void sweep_orphans() {
        std::erase_if(entries, [this](const Entry_Ptr& entry) {
            if (!entry->orphaned()) return false;
            entry->destroy();
            if (on_orphan) on_orphan(*entry);
            return true;
        });
    }

    std::vector<Entry_Ptr> entries;  ///< in order of opening
    std::uint16_t next_port;
    const std::uint16_t first_port;
    const std::function<void(const Entry&)> on_orphan;
    std::mutex mutex;
};

}  // namespace Quorin_Core
