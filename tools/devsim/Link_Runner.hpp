#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/devsim/Config.hpp"
#include "tools/devsim/Counters.hpp"
#include "tools/devsim/Device_Model.hpp"
#include "tools/devsim/Fault_Injector.hpp"
#include "tools/devsim/Frame_Reassembler.hpp"
#include "tools/devsim/Line_Pacer.hpp"
#include "tools/devsim/Pty_Link.hpp"
#include "tools/devsim/Simulator_State.hpp"

namespace Quorin_Tools::Devsim {

/// The simulator's event loop: reads the server's bytes from the pty, cuts them into frames,
/// handles each once the paced line has carried it, and writes the answers, in pieces and
/// faulty when asked, when their time comes. One ppoll waits for input, room to write, the
/// next due time and requests from other threads.
///
/// Threading: constructed and plugged by the starting thread, then run() and everything else on
/// the simulator's own thread. Other threads reach it only through the Simulator_State.
class Link_Runner {
public:
    using Clock = std::chrono::steady_clock;
    /// A frame start whose rest does not come within this time is given up.
    static constexpr std::chrono::milliseconds partial_frame_timeout{100};
    /// The trace file is flushed at least this often while frames come.
    static constexpr std::chrono::milliseconds trace_flush_period{100};
    /// Bytes asked for by one read from the pty.
    static constexpr std::size_t read_chunk_bytes = 4096;
    /// Frames waiting for the paced line beyond which reading stops, so that a server that
    /// sends faster than the line carries meets a full pty, as it would meet a full UART.
    static constexpr std::size_t max_waiting_frames = 64;

    /// A runner for `config` that publishes into `state` and reports events (unplug, replug)
    /// through `log`. Opens the trace file; throws std::runtime_error when it cannot.
    Link_Runner(const Config& config, Simulator_State& state, std::function<void(const std::string&)> log);

    /// Publishes the pty at the link path (throws as Pty_Link does).
    void plug();
    /// Serves the link until a stop request, or an unplug that no replug follows. Throws on a
    /// failure that leaves no link to serve (a failed read or replug).
    void run();

private:
    /// A good frame waiting for the paced line to have carried it.
    struct Received_Frame {
        std::vector<std::uint8_t> bytes;  ///< the frame
        Clock::time_point read_at;        ///< when it was read
        Clock::time_point handle_at;      ///< when its last byte would have arrived
    };
    /// A piece of an answer waiting for its time.
    struct Pending_Write {
        std::vector<std::uint8_t> bytes;  ///< the piece
        std::size_t written = 0;          ///< bytes of it already written
        Clock::time_point due;            ///< when it is to be written
    };

    /// One turn of the loop: due work, publication, then the wait.
    void turn();
    void read_input();
    void extract_frames(Clock::time_point read_at);
    void handle_due_frames(Clock::time_point now);
    void handle_frame(const Received_Frame& frame);
    /// Queues `wire` for writing from `start` on, cut into the behaviour's pieces.
    void schedule(const std::vector<std::uint8_t>& wire, Clock::time_point start, const Behaviour& behaviour);
    void write_due(Clock::time_point now);
    void expire_partial(Clock::time_point now);
    void unplug();
    void replug();
    std::optional<Clock::time_point> next_deadline() const;
    void wait(std::optional<Clock::time_point> deadline);
    void record(const Trace_Entry& entry);
    /// Flushes the trace file when it holds unwritten lines and the period has passed.
    void flush_trace(Clock::time_point now);
    void publish();

    Config config;
    Simulator_State& state;
    std::function<void(const std::string&)> log;
    Counters counters;
    Device_Model model;
    Fault_Injector injector;
    Line_Pacer pacer;
    Frame_Reassembler reassembler;
    std::unique_ptr<Pty_Link> link;
    std::deque<Received_Frame> inbox;
    std::deque<Pending_Write> outbox;
    bool write_blocked = false;                 ///< the pty is full; wait for room
    Clock::time_point last_input_at{};
    std::optional<Clock::time_point> replug_at;
    std::uint64_t frames_since_plug = 0;
    std::vector<Trace_Entry> new_entries;
    std::ofstream trace_file;
    Clock::time_point last_flush{};
    bool trace_dirty = false;  ///< the trace file holds lines not flushed
    Device_Model::Answer answer;
    std::vector<std::uint8_t> wire;
};

}  // namespace Quorin_Tools::Devsim
