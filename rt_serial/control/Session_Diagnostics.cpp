#include "rt_serial/control/Session.hpp"

#include "rt_serial/control/Link_Figures.hpp"
#include "utility/Log_Repeat.hpp"
#include "utility/Logger.hpp"

// The session's link figures: the port's and the session's counters turned into figures once a
// second, on the session thread.
namespace Quorin_Core::RT_Serial::Control {
namespace {

constexpr auto diagnostic_interval = std::chrono::seconds(1);

}  // namespace

void Session::clear_diagnostic() {
    counters.clear();
    previous_port_counters.fill(0);
    diagnostics.clear();
    port->diag.clear();
}

void Session::arm_diag_timer() {
    diag_timer.expires_after(diagnostic_interval);
    diag_timer.async_wait([this](const boost::system::error_code& error) {
        if (error == boost::asio::error::operation_aborted) return;
        if (error) {
            QUORIN_LOG_ERROR("Diagnostic timer error on [", port_name, "]:", error.message());
            return;
        }
        update_diagnostic();
    });
}

void Session::update_diagnostic() {
    arm_diag_timer();
    // Repeated error lines held back during the last second are summed up now, also when they
    // have stopped.
    Utility::Log_Repeat::flush_all();
    const auto& raw = port->diag;
    const std::array<std::uint64_t, 6> now_counters{raw.tx_frames.load(), raw.rx_frames.load(),
                                                    raw.rx_errors.load(), raw.rx_timeouts.load(),
                                                    raw.tx_bytes.load(), raw.rx_bytes.load()};
    Port_Deltas delta{};
    for (std::size_t i = 0; i < delta.size(); ++i)
        delta[i] = static_cast<std::uint32_t>(now_counters[i]) - static_cast<std::uint32_t>(previous_port_counters[i]);
    const Diagnostic_Snapshot figures = link_figures(counters, delta);
    diagnostics.store(figures);

    counters.clear();
    previous_port_counters = now_counters;
}

}  // namespace Quorin_Core::RT_Serial::Control
