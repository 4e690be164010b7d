#include "server/Device.hpp"

#include <filesystem>

#include "rt_serial/driver/Port_Path.hpp"
#include "server/Thread_Priority.hpp"
#include "utility/Logger.hpp"

namespace Quorin_Core {
namespace {

using namespace std::chrono;

constexpr auto summary_interval = minutes(1);

}  // namespace

Device::Device(const std::string& name, const std::string& port_name, std::uint32_t baud, bool native_usb,
               bool realtime_priority, std::shared_ptr<EPID_Ledger> ledger, bool reconnect, bool open_now)
    : tx_queue(std::make_shared<SPB_Queue>(sdo_queue_capacity)),
      rx_queue(std::make_shared<SPB_Queue>(sdo_queue_capacity)),
      sdo_ledger(ledger ? std::move(ledger) : std::make_shared<EPID_Ledger>()),
      session(port_name, baud, native_usb, *tx_queue, *rx_queue, open_now),
      name(name),
      reconnecting(reconnect) {
    session.set_sdo_discard_listener(sdo_ledger.get());
    // The session thread times every PDO event: under load only a raised priority keeps it on time.
    if (realtime_priority)
        session.set_thread_start_hook([port = port_name] { raise_current_thread_priority("Session thread", " on [" + port + "]"); });
}

bool Device::occupied(const std::string& other_name, const std::string& other_port) const {
    return name == other_name || session.get_port_name() == other_port;
}

bool Device::open() {
    std::lock_guard lock(link_mutex);
    wanted_open = true;
    if (reconnecting && !session.is_running() && session.port_lost()) {
        if (!loss) loss = Link_Loss{{system_clock::now()}, steady_clock::now(), steady_clock::now()};
        return reconnect(true);
    }
    return session.start();
}

void Device::close() {
    std::lock_guard lock(link_mutex);
    wanted_open = false;
    loss.reset();
    session.stop();
}

Served_Device Device::served() {
    return {std::shared_ptr<RT_Serial::Control::Session>(shared_from_this(), &session), tx_queue, rx_queue, sdo_ledger,
            name};
}

std::optional<Device::Outage> Device::outage() const {
    std::lock_guard lock(link_mutex);
    if (!loss) return std::nullopt;
    return loss->outage;
}

std::optional<std::string> Device::lost_port_cause() const {
    if (session.port_lost()) return "the port failed";
#ifndef _WIN32
    // A device whose line is quiet may not have noticed yet; its device node has gone already.
    std::error_code error;
    if (!std::filesystem::exists(RT_Serial::Driver::port_path(session.get_port_name()), error)) return "the port is gone";
#endif
    return std::nullopt;
}

void Device::watch_link(milliseconds interval) {
    std::lock_guard lock(link_mutex);
    if (!wanted_open) return;
    if (loss) {
        reconnect(false);
        return;
    }
    if (!session.is_running()) return;
    if (const auto cause = lost_port_cause()) begin_loss(*cause, interval);
}

void Device::begin_loss(const std::string& cause, milliseconds interval) {
    const auto now = steady_clock::now();
    loss = Link_Loss{{system_clock::now()}, now, now};
    loss->pdo_was_enabled = session.is_pdo_requested();
    session.stop();
    QUORIN_LOG(WARN, "Device [", name, "] lost its port [", session.get_port_name(), "]: ", cause,
               "; reopening it every ", interval.count(), " ms");
}

bool Device::reconnect(bool throw_failure) {
    try {
        // The first failure of an outage is logged as any port that fails to open; later ones are summed up.
        session.reopen_port(throw_failure || loss->outage.failed_reopens == 0);
    } catch (const std::exception& error) {
        ++loss->outage.failed_reopens;
        ++loss->failed_since_summary;
        const auto now = steady_clock::now();
        if (now - loss->last_summary >= summary_interval) {
            QUORIN_LOG(WARN, "Device [", name, "]: ", loss->failed_since_summary, " attempts to reopen [",
                       session.get_port_name(), "] failed in the last minute");
            loss->last_summary = now;
            loss->failed_since_summary = 0;
        }
        if (throw_failure) throw std::runtime_error(error.what());
        return false;
    }
    const bool started = session.start();
    if (loss->pdo_was_enabled) session.enable_pdo();
    const auto gone = duration_cast<milliseconds>(steady_clock::now() - loss->began);
    QUORIN_LOG(INFO, "Device [", name, "] is back on [", session.get_port_name(), "] after ", gone.count() / 1000, ".",
               std::to_string(1000 + gone.count() % 1000).substr(1), " s");
    loss.reset();
    return started;
}

}  // namespace Quorin_Core
