#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "rt_serial/control/Diagnostic_Raw.hpp"
#include "rt_serial/control/Link_Counters.hpp"
#include "rt_serial/control/Link_Timing.hpp"
#include "rt_serial/control/NRT_Wake.hpp"
#include "rt_serial/control/RPDO_Slot.hpp"
#include "rt_serial/control/Session_Clock.hpp"
#include "rt_serial/datalink/Frame_Builder.hpp"
#include "rt_serial/datalink/Frame_Sink.hpp"
#include "rt_serial/datalink/ID_Filter.hpp"
#include "rt_serial/driver/Serial_Port.hpp"
#include "rt_serial/protocol/SDO_Discard_Listener.hpp"
#include "rt_serial/protocol/SDO_Queue.hpp"

namespace Quorin_Core {
struct Datagram_Probe;
}

namespace Quorin_Core::RT_Serial::Control {

/// The real-time protocol with one device on one serial port: the PDO cycle (an RPDO frame,
/// then a TPDO request the device answers) and, in the time between PDO events, NRT frames
/// carrying SDO messages from the transmit queue, whose answers go to the receive queue.
///
/// Threading: every timer, port completion and driver callback runs on the session's own
/// thread. `start`, `stop`, `enable_pdo`, `disable_pdo`, `set_pdo_config`, the handler setters,
/// `pdo_write` and the diagnostics readers may be called from any thread: timer work is posted
/// to the session's io_context, `start`/`stop` are serialised by `lifecycle_mutex`, and the
/// PDO slot hands its data over without a lock (one writer thread at a time). The TPDO sink is called on the session thread.
class Session : private Datalink::Frame_Sink {
public:
    /// Receives each TPDO answer's data (padding included) on the session thread.
    class Base_TPDO_Sync_Read {
    public:
        virtual void operator()(const std::uint8_t* data, std::size_t size) = 0;
        virtual ~Base_TPDO_Sync_Read() = default;
    };
    /// Writes the RPDO data of a cycle in place of the PDO slot, setting its size.
    class Base_RPDO_Sync_Write {
    public:
        virtual void operator()(std::uint8_t* data, std::size_t* size) = 0;
        virtual ~Base_RPDO_Sync_Write() = default;
    };

    static constexpr std::size_t frame_buffer_bytes = 2048;
    static constexpr std::size_t pdo_slot_bytes = 1004;
    static constexpr std::uint64_t default_period_ns = 10000000;
    static constexpr std::uint64_t native_usb_baud = 4000000;
    /// PDO periods after which the windows seen so far are taken as all the cycle gives.
    static constexpr std::uint32_t settle_periods = 8;

    /// One direction's buffers: PDO frames (A), NRT frames (B), the PDO slot, the SDO queue.
    struct Commu_Entities {
        explicit Commu_Entities(Protocol::SDO::Queue& queue) : queue(queue) {}
        alignas(16) std::array<std::uint8_t, frame_buffer_bytes> frame_a{};
        alignas(16) std::array<std::uint8_t, frame_buffer_bytes> frame_b{};
        RPDO_Slot pdo_slot;  ///< the RPDO data to send; the receive side's is not used
        Protocol::SDO::Queue& queue;
    };

    using Diagnostic_Raw = Control::Diagnostic_Raw;

    /// Opens `port_name` (at 4,000,000 baud for a native USB port, else at `baud`); throws
    /// std::runtime_error when the port cannot be opened. Without `open_now` the port stays
    /// closed until reopen_port. The queues must outlive the session.
    Session(const std::string& port_name, std::uint32_t baud, bool native_usb,
            Protocol::SDO::Queue& tx_queue, Protocol::SDO::Queue& rx_queue, bool open_now = true);
    /// Stops the session and closes the port.
    ~Session();

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    /// Starts the session thread, the diagnostics tick and the NRT scheduler.
    /// Returns false (and logs a warning) when it is running already.
    bool start();
    /// Stops PDO, the timers, the transfer and the thread. The session can be started again.
    void stop();
    /// The session thread runs.
    bool is_running() const { return running.load(); }
    /// The port has failed (a read, write or timer error) or is not open: the session can do
    /// nothing on it until reopen_port.
    bool port_lost() const;
    /// Opens the port again under its name, at its rate (after a failure, or when it was never
    /// opened). Only while the session is stopped; throws std::logic_error while it runs, and
    /// std::runtime_error when the port cannot be opened, which it logs only with `log_failure`.
    void reopen_port(bool log_failure);

    /// Starts the PDO cycle; a second call while it runs does nothing.
    void enable_pdo();
    /// Stops the PDO cycle.
    void disable_pdo();
    /// Sets the PDO frequency (clamped to 1..500 Hz), the RPDO event at 0 and the TPDO request
    /// half a period later. No effect while PDO is enabled.
    void set_pdo_config(float frequency_hz);
    /// Sets the frequency and both offsets (each below the period). No effect while enabled.
    void set_pdo_config(float frequency_hz, std::uint64_t tpdo_offset_ns, std::uint64_t rpdo_offset_ns);
    /// PDO is enabled.
    bool is_pdo_enabled() const { return pdo_enabled.load(); }
    /// PDO was enabled, and neither disabled nor stopped since; a cycle that a failed line has
    /// stopped still counts.
    bool is_pdo_requested() const { return pdo_requested.load(); }
    /// The PDO period in nanoseconds.
    std::uint64_t pdo_period_ns() const { return period_ns.load(); }
    /// PDO periods skipped, since construction, because the cycle found its event later than a
    /// short stall explains (a suspended process, a stopped VM).
    std::uint64_t skipped_pdo_periods() const { return skipped_periods.load(std::memory_order_relaxed); }
    /// How late a PDO event may be found and still be sent: shorter stalls cost no period.
    static constexpr std::chrono::milliseconds min_skip_lateness{50};

    /// Installs the TPDO sink; it must stay valid until reset.
    void set_tpdo_sync_read_handler(Base_TPDO_Sync_Read& reader);
    /// Removes the TPDO sink. On return the session is no longer inside it.
    void reset_tpdo_sync_read_handler();
    /// Installs the RPDO source used instead of the PDO slot.
    void set_rpdo_sync_write_handler(Base_RPDO_Sync_Write& writer);
    /// Removes the RPDO source. On return the session is no longer inside it.
    void reset_rpdo_sync_write_handler();

    /// Copies RPDO data (at most 1004 bytes; more is cut) into the transmit PDO slot; every
    /// cycle sends the last data written.
    void pdo_write(const std::uint8_t* data, std::size_t size);

    /// Sets the counters and figures to 0 and clears the port's transfer counters.
    void clear_diagnostic();
    /// The last second's figures.
    Diagnostic_Snapshot diagnostic() const { return diagnostics.get_copy(); }
    /// The port's cumulative transfer counters.
    const Driver::Serial_Port::Transfer_Diagnostic_Raw& port_diagnostic() const { return port->diag; }
    /// The baud rate the open port reports, or 0.
    int port_baudrate() const { return port->get_baudrate(); }
    /// The port's name as bound.
    const std::string& get_port_name() const { return port_name; }
    /// The derived link figures.
    const Link_Timing& timing() const { return link; }
    /// Whether the port is driven as the device's own USB port (no CRC).
    bool is_native_usb() const { return native_usb; }

    /// Runs `hook` first on the session thread at each start (for instance to raise its
    /// priority). Set it before the first start.
    void set_thread_start_hook(std::function<void()> hook) { thread_start_hook = std::move(hook); }

    /// Tells `listener` (or nobody, with null) of each request that will never reach the
    /// device; it must stay valid until reset or the session's end.
    void set_sdo_discard_listener(Protocol::SDO::Discard_Listener* listener) { discard_listener = listener; }
    /// SDO requests taken from the transmit queue that never reached the device, since construction.
    std::uint64_t sdo_discarded_count() const { return sdo_discarded.load(std::memory_order_relaxed); }
    /// How long the session has run in all, over every start and stop: a clock for bounds on
    /// the device's answers, which cannot come while the session is stopped.
    std::chrono::nanoseconds run_time() const;

private:
    /// The datagram fuzzer (fuzz/datagram_fuzz.cpp) reads the PDO slot back.
    friend struct Quorin_Core::Datagram_Probe;

    using Clock = Session_Clock;

    static void rx_cplt_cb(Driver::Serial_Port* port, const std::uint8_t* data, std::size_t size, void* context);
    static void pending_rx_cplt_cb(Driver::Serial_Port* port, const std::uint8_t* data, std::size_t size,
                                   void* context);
    static void rx_error_cb(Driver::Serial_Port* port, const std::uint8_t* data, std::size_t size, void* context);
    static void rx_timeout_cb(Driver::Serial_Port* port, void* context);
    static bool frame_passes_checks(const std::uint8_t* bytes, std::size_t size, void* context);
    static void rpdo_tx_cplt_cb(Driver::Serial_Port* port, void* context);

    void take_frame(Driver::Serial_Port& from, const std::uint8_t* data, std::size_t size);
    void pdo_payload(const std::uint8_t* data, std::size_t size) override;
    void sdo_message(const std::uint8_t* data, std::size_t size) override;

    void open_port(std::uint32_t baud, bool open_now);
    void fill_transfer_configs();
    void fill_rx_config(Driver::Serial_Port::RX_Config& config, std::uint8_t* buffer);
    void run_thread();
    void stop_timers_and_transfer();
    void flush_handlers();

    void arm_pdo_timer(void (Session::*handler)());
    void skip_missed_periods();
    void rpdo_sync_handler();
    void tpdo_sync_handler();
    void send_tpdo_request();
    bool build_rpdo_frame(std::size_t& frame_length);
    void pdo_start_failed(const char* what, std::uint8_t result);

    void nrt_start_transfer();
    void nrt_safety_wait();
    void start_idle_receive();
    void stop_port_transfer();
    std::uint64_t nrt_window_budget() const;
    bool nrt_send_prepared();
    bool nrt_fit_allowance();
    std::uint64_t half_period_budget() const;
    void nrt_prepare_frame();
    std::uint64_t nrt_take_requests(std::uint64_t byte_cap);
    bool nrt_pack(std::uint64_t allowance);
    std::uint64_t min_nrt_frame_bytes() const;
    std::uint64_t nrt_overhead_bytes() const;
    std::uint64_t frame_cap_for(std::uint64_t budget) const;
    std::uint64_t max_carried_request_bytes() const;
    void drop_uncarriable_requests();
    void discard_prepared_frame();
    void discard_request(const std::uint8_t* message, std::uint64_t size);

    void update_diagnostic();
    void arm_diag_timer();


    boost::asio::io_context io_context;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_guard;
    boost::asio::steady_timer diag_timer;
    Session_Timer pdo_timer;
    Session_Timer nrt_timer;
    std::shared_ptr<Driver::Serial_Port> port;

    std::atomic<std::uint64_t> period_ns{default_period_ns};
    std::atomic<std::uint64_t> tpdo_offset_ns{0};  ///< offset of the RPDO transmission
    std::atomic<std::uint64_t> rpdo_offset_ns{default_period_ns / 2};  ///< offset of the TPDO request
    const std::uint8_t timestamp_code = 0;
    std::atomic<bool> pdo_enabled{false};
    std::atomic<bool> pdo_requested{false};  ///< enabled and not disabled or stopped since

    std::uint64_t nrt_budget = 0;
    std::uint64_t nrt_tx_length = 0;
    std::uint64_t nrt_rx_allowance = 0;
    std::uint64_t nrt_data_size = 0;  ///< SDO bytes in the prepared frame
    bool nrt_pending = false;
    bool tpdo_request_due = false;  ///< the TPDO request waits for a stopped read to come back
    /// The largest request a frame could take since PDO was enabled, and the periods since.
    std::uint64_t largest_byte_cap = 0;
    std::uint32_t periods_at_setting = 0;
    bool uncarriable_check_due = false;
    bool uncarriable_logged = false;  ///< once per PDO setting
    Link_Timing link;

    std::unique_ptr<Commu_Entities> tx_entities;
    std::unique_ptr<Commu_Entities> rx_entities;
    const bool native_usb;
    Datalink::Frame_Builder frame_builder;
    Diagnostic_Raw diagnostics;
    Link_Counters counters;
    std::array<std::uint64_t, 6> previous_port_counters{};

    Clock::time_point next_sync;
    std::atomic<std::uint64_t> skipped_periods{0};
    Driver::Serial_Port::TX_Config rpdo_tx_config;
    Driver::Serial_Port::TX_Config tpdo_tx_config;
    Driver::Serial_Port::RX_Config tpdo_rx_config;
    Driver::Serial_Port::TX_Config nrt_tx_config;
    Driver::Serial_Port::RX_Config nrt_rx_config;
    Driver::Serial_Port::RX_Config pending_rx_config;
    /// While PDO is off and no transfer runs, a receive stays pending, so that an answer that
    /// comes late reaches its client as it arrives. Stopped before the next transfer.
    Driver::Serial_Port::RX_Config idle_rx_config;
    bool idle_receive_running = false;
    /// Wakes the NRT scheduler when the transmit queue takes a request (held by the queue weakly).
    std::shared_ptr<NRT_Wake> nrt_wake;
    std::atomic<Base_RPDO_Sync_Write*> rpdo_writer{nullptr};
    std::atomic<Base_TPDO_Sync_Read*> tpdo_reader{nullptr};
    std::atomic<bool> inside_tpdo_reader{false};
    std::atomic<bool> inside_rpdo_writer{false};
    Datalink::ID_Filter source_filter;
    Datalink::ID_Filter destination_filter;
    const std::string port_name;

    std::atomic<Protocol::SDO::Discard_Listener*> discard_listener{nullptr};
    std::atomic<std::uint64_t> sdo_discarded{0};

    std::function<void()> thread_start_hook;
    std::mutex lifecycle_mutex;  ///< serialises start and stop
    mutable std::mutex run_time_mutex;  ///< guards the two below
    std::chrono::nanoseconds run_time_before{0};  ///< of the runs that have ended
    std::optional<std::chrono::steady_clock::time_point> running_since;
    std::thread thread;
    std::atomic<bool> running{false};
};

}  // namespace Quorin_Core::RT_Serial::Control
