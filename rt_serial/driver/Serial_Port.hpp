#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "rt_serial/driver/Pending_Bytes.hpp"

namespace Quorin_Core::RT_Serial::Driver {

/// One serial port carrying half-duplex request/response transfers: the transmit of one
/// whole frame, the receive of one whole frame, or both at once with a receive time-out.
/// A receive hunts for the frame's header bytes, reads as many bytes as the caller's size
/// parser needs, asks it for the frame's size and reads the rest (or, in fixed-size mode,
/// fills the whole buffer). Frames move straight between the line and the caller's buffers,
/// except bytes a stopped or timed-out receive leaves: those wait in the port, in order, for
/// the next receive.
///
/// Threading: every completion handler and every callback runs on the thread that runs the
/// io_context given to `create` (the session's thread). `start_transfer`, `stop_transfer`,
/// `close`, `get_baudrate` and the state queries may be called from any thread: an internal
/// mutex orders them with the handlers; a completion that a stop, a time-out or the end of
/// its transfer has overtaken reports nothing (bytes it read are kept for the next receive). Callbacks run with that mutex released, so a
/// callback may start the next transfer at once. The size parser runs with it held and must
/// not call back into the port. The counters in `diag` may be read from any thread.
///
/// Failures: a read, write or timer error is logged, stops both directions and puts the
/// port in error state for good (every later `start_transfer` returns transfer_error_state);
/// no callback reports it. An exception escaping a callback does the same. A time-out ends
/// a transmit still running as well as the receive.
///
/// Lifetime: held by std::shared_ptr (made by `create`); pending handlers keep it alive.
/// The owner closes it and lets go of it before the io_context is destroyed.
class Serial_Port : public std::enable_shared_from_this<Serial_Port> {
public:
    /// Called with a frame, or with the bytes of a receive that could not be completed.
    using Frame_Callback = void (*)(Serial_Port* port, const std::uint8_t* buffer,
                                    std::size_t size, void* context);
    /// Called when a transmit completes or a receive times out.
    using Event_Callback = void (*)(Serial_Port* port, void* context);
    /// Returns a frame's total size in bytes, header included, from its leading bytes.
    using Size_Parser = std::size_t (*)(Serial_Port* port, const std::uint8_t* buffer);
    /// Whether bytes[0, size) are one whole frame that passes the link's own checks.
    using Frame_Check = bool (*)(const std::uint8_t* bytes, std::size_t size, void* context);

    /// What to send; owned by the caller and valid, with its data, until the transmit ends.
    struct TX_Config {
        const std::uint8_t* data = nullptr;   ///< first byte to send
        std::uint16_t size = 0;               ///< bytes to send
        Event_Callback tx_cplt_cb = nullptr;  ///< all bytes written (may be null)
        void* context = nullptr;              ///< handed to tx_cplt_cb
    };

    /// How to receive; owned by the caller and valid, with its buffer, until the receive ends.
    struct RX_Config {
        std::uint8_t* buffer = nullptr;          ///< where the frame is assembled, from byte 0
        std::size_t buffer_size = 0;             ///< capacity of buffer in bytes
        Frame_Callback rx_cplt_cb = nullptr;     ///< a whole frame is in the buffer (may be null)
        Frame_Callback rx_error_cb = nullptr;    ///< the frame cannot be completed (may be null)
        Event_Callback rx_timeout_cb = nullptr;  ///< time-out expired; null arms no time-out
        std::uint8_t header[255]{};              ///< the bytes every frame begins with
        std::uint8_t header_size = 0;            ///< bytes of header in use; 0 with size_parse_len 0
        std::uint16_t size_parse_len = 0;        ///< leading bytes the parser needs; 0 = fixed size
        Size_Parser size_parser = nullptr;       ///< total frame size from the leading bytes
        std::uint64_t timeout_us = 0;            ///< receive time-out, counted from start_transfer
        /// Optional: a frame cut short that already holds a whole checked frame after its
        /// first byte is given up, not kept (its length word claimed more than was sent).
        Frame_Check frame_check = nullptr;
        void* context = nullptr;                 ///< handed to the three callbacks
    };

    /// Transfer counters, cumulative since the last `clear`; readable from any thread.
    struct Transfer_Diagnostic_Raw {
        std::atomic<std::uint64_t> tx_frames{0};    ///< transmits completed without error
        std::atomic<std::uint64_t> rx_frames{0};    ///< receives that completed a frame
        std::atomic<std::uint64_t> rx_errors{0};    ///< receive size errors
        std::atomic<std::uint64_t> rx_timeouts{0};  ///< expired receive time-outs
        std::atomic<std::uint64_t> tx_bytes{0};     ///< bytes written
        std::atomic<std::uint64_t> rx_bytes{0};     ///< bytes read, stray and cancelled ones included
        /// Sets all six counters to 0.
        void clear();
    };

    /// `start_transfer` result bits; 0 means that everything asked for was started.
    static constexpr std::uint8_t transfer_not_opened = 0x01;   ///< port closed; nothing started
    static constexpr std::uint8_t transfer_tx_busy = 0x04;      ///< transmit still running; not sent
    static constexpr std::uint8_t transfer_rx_refused = 0x08;   ///< invalid RX config or RX busy
    static constexpr std::uint8_t transfer_error_state = 0x10;  ///< port failed; nothing started

    /// Bytes read ahead by `receive_pending` that the port can hold for the next receive.
    static constexpr std::size_t pending_capacity = Pending_Bytes::capacity;

    /// Largest single read or write handed to the system, in bytes.
    static constexpr std::size_t max_io_chunk_bytes = 65536;

    /// Opens `name` exclusively and configures it raw 8N1 at `baud`; throws std::runtime_error.
    /// Without `open_now` the port stays closed until `reopen`.
    static std::shared_ptr<Serial_Port> create(boost::asio::io_context& io, const std::string& name,
                                               unsigned baud, bool open_now = true);

    /// Lets `create` reach the constructor through std::make_shared.
    struct Private {
        explicit Private() = default;
    };
    /// Use `create`.
    Serial_Port(Private, boost::asio::io_context& io, const std::string& name, unsigned baud, bool open_now);
    Serial_Port(const Serial_Port&) = delete;
    Serial_Port& operator=(const Serial_Port&) = delete;
    /// Closes the port if its owner has not.
    ~Serial_Port();

    /// Starts a transmit of `tx` (null: none) and, unless `rx` is null, a receive by `rx`.
    /// Returns 0 or an or-combination of the transfer_* bits.
    std::uint8_t start_transfer(const TX_Config* tx, const RX_Config* rx);
    /// Cancels the time-out and every read and write; both directions become idle. No byte
    /// received is lost: the next receive goes on where this one stopped, and a frame it had
    /// begun is finished there. Throws boost::system::system_error when the port is closed.
    void stop_transfer();
    /// Receives, without waiting, every whole frame the line holds unread (late answers to
    /// exchanges that ended): each is copied to `rx`'s buffer and handed to its rx_cplt_cb on
    /// this thread, one that cannot be completed goes to rx_error_cb, as in a receive. The
    /// beginning of a frame still arriving is kept for the next receive. Does nothing while
    /// a receive runs, while the read of a stopped one is still to come back, or for a
    /// fixed-size `rx`. Returns the number of whole frames.
    std::size_t receive_pending(const RX_Config* rx);
    /// Stops every transfer and closes the port for good; does nothing when already closed.
    void close();
    /// Closes the port if it is open, then opens and configures it again under the same name
    /// and rate, out of any error state, with no byte kept from before. Throws
    /// std::runtime_error when it cannot be opened; logs that only with `log_failure`.
    /// Completions of the transfers before it report nothing.
    void reopen(bool log_failure);
    /// The line's baud rate as the operating system reports it, or 0 on failure.
    int get_baudrate() const;

    /// A receive is in progress.
    bool rx_busy() const { return rx_running.load(); }
    /// A transmit is in progress.
    bool tx_busy() const { return tx_running.load(); }
    /// The read of a stopped receive has not come back yet: bytes it brings are kept, and
    /// `receive_pending` waits for it. Its completion is already queued once stopped, so work
    /// posted to the io_context after the stop runs after it.
    bool stopped_read_outstanding() const;
    /// A delivered frame failed its checks: its bytes from the second on are searched for a
    /// frame again, before anything read after it, so that a corrupted frame costs itself and
    /// no other. Call it from the frame's callback, before the next transfer starts.
    void search_again_after(const std::uint8_t* bad_frame, std::size_t size);

    /// A read, write or timer error has made the port refuse every transfer.
    bool error_state() const { return failed.load(); }
    /// The port holds an open handle.
    bool is_open() const;
    /// The name the port was opened by.
    const std::string& name() const { return port_name; }

    /// The transfer counters.
    Transfer_Diagnostic_Raw diag;

private:
    /// The read the receive is waiting for.
    enum class Receive_Stage : std::uint8_t { HEADER, SIZE_PARSE, REMAINDER, FIXED_SIZE };

    /// What `receive_pending` found next in the bytes read ahead.
    enum class Pending_Step : std::uint8_t { NONE, FRAME, SIZE_ERROR };

    /// A caller's callback with its arguments, made once the mutex is released.
    struct Callback_Call {
        Frame_Callback frame = nullptr;
        Event_Callback event = nullptr;
        const std::uint8_t* buffer = nullptr;
        std::size_t size = 0;
        void* context = nullptr;
    };

    static bool valid(const RX_Config& rx);
    std::uint8_t start_receive(const RX_Config* rx);
    void transmit();
    void write_next();
    void on_written(std::uint64_t epoch, const boost::system::error_code& ec, std::size_t bytes);
    void receive_header();
    void receive_to_size_parse();
    void receive_remaining();
    void read_stage(Receive_Stage stage, std::size_t bytes);
    void read_next();
    void on_read(std::uint64_t epoch, const std::uint8_t* at, const boost::system::error_code& ec,
                 std::size_t bytes);
    void stopped_read(const std::uint8_t* at, std::size_t bytes);
    void keep_pending(const std::uint8_t* bytes, std::size_t size);
    bool keep_unfinished_frame(bool searched_once);
    bool hides_checked_frame(const std::uint8_t* bytes, std::size_t size, const RX_Config& rx);
    void put_back(const std::uint8_t* bytes, std::size_t size);
    void on_pending_read(std::uint64_t epoch);
    Callback_Call stage_bytes_read(std::size_t bytes);
    bool fill_pending();
    Pending_Step next_pending_frame(const RX_Config& rx, Callback_Call& call);
    Callback_Call finish_stage();
    Callback_Call header_byte_read();
    Callback_Call size_parse_read();
    Callback_Call remainder_read();
    Callback_Call frame_received(std::size_t size);
    Callback_Call size_error();
    void set_timeout(std::uint64_t us);
    void on_timeout(std::uint64_t epoch, const boost::system::error_code& ec);
    void end_receive();
    void end_transmit();
    void stop_locked();
    void open_line(bool log_failure);
    void enter_error_state();
    void invoke(const Callback_Call& call);
    template <typename Step>
    void guarded(Step&& step) noexcept;
    void handler_failed(const char* what) noexcept;

    const std::string port_name;
    const unsigned baud;  ///< the rate it is opened at, again on reopen
    /// Orders public calls from other threads with the handlers; guards everything below.
    mutable std::mutex mutex;
    /// Mutable because asking it for its handle (in the const get_baudrate) is not const.
    mutable boost::asio::serial_port port;
    boost::asio::steady_timer timeout_timer;
    std::atomic<bool> rx_running{false};
    std::atomic<bool> tx_running{false};
    std::atomic<bool> failed{false};
    /// Advanced whenever a receive ends; completions of an earlier receive are dropped.
    std::uint64_t rx_epoch = 0;
    /// Advanced whenever a transmit ends; completions of an earlier transmit are dropped.
    std::uint64_t tx_epoch = 0;
    Receive_Stage rx_stage = Receive_Stage::HEADER;
    std::size_t rx_stage_size = 0;
    std::size_t rx_stage_done = 0;
    std::size_t rx_frame_size = 0;
    std::size_t rx_received = 0;
    std::size_t tx_written = 0;
    const TX_Config* tx_config = nullptr;
    const RX_Config* rx_config = nullptr;
    /// Bytes read from the line ahead of the receive that takes them, and bytes given up to be
    /// searched again: what the next receive reads before the line.
    Pending_Bytes pending;
    /// A read of the line is outstanding (at most one is, even across a stop).
    bool line_read_in_flight = false;
    /// The unfinished frame at the front of the pending bytes was kept at a time-out.
    bool resumes_timed_out_frame = false;
};

}  // namespace Quorin_Core::RT_Serial::Driver
