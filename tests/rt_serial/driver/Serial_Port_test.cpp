#include "rt_serial/driver/Serial_Port.hpp"

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/system/system_error.hpp>

#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include <unistd.h>

#include "support/Pty_Pair.hpp"
#include "utility/Logger.hpp"

namespace {

using namespace std::chrono_literals;
using Quorin_Core::RT_Serial::Driver::Serial_Port;
using Quorin_Core::Utility::Log_Level;
using Quorin_Core::Utility::Logger;
using Quorin_Test::Bytes;

using Counts = std::vector<std::uint64_t>;
constexpr std::size_t buffer_bytes = 2048;

/// Test frames carry their total size, big-endian, in bytes 3 and 4.
std::size_t size_in_bytes_3_4(Serial_Port*, const std::uint8_t* bytes) { return bytes[3] * 256u + bytes[4]; }

/// A frame declaring `size` bytes (it has at least 5); its body never holds a header byte.
Bytes frame(std::size_t size, std::uint8_t tag = 0) {
    Bytes bytes{0xAA, 0x55, tag, std::uint8_t(size >> 8), std::uint8_t(size)};
    for (std::size_t i = bytes.size(); i < size; ++i) bytes.push_back(std::uint8_t(i & 0x3F));
    return bytes;
}
Bytes operator+(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}
Bytes part(const Bytes& bytes, std::size_t from, std::size_t to) { return {bytes.begin() + from, bytes.begin() + to}; }

/// What the port reported through its callbacks.
struct Seen {
    std::vector<Bytes> frames;
    std::vector<std::size_t> errors;  // sizes handed to rx_error_cb
    int timeouts = 0, sent = 0;
    const Serial_Port::RX_Config* restart = nullptr;  // started by the next on_frame, or on_sent after a stop
};
Seen& seen_by(void* context) { return *static_cast<Seen*>(context); }
void on_frame(Serial_Port* port, const std::uint8_t* data, std::size_t size, void* context) {
    seen_by(context).frames.emplace_back(data, data + size);
    if (const auto* next = std::exchange(seen_by(context).restart, nullptr)) port->start_transfer(nullptr, next);
}
void on_error(Serial_Port*, const std::uint8_t*, std::size_t size, void* seen) { seen_by(seen).errors.push_back(size); }
void on_timeout(Serial_Port*, void* context) { ++seen_by(context).timeouts; }
void on_sent(Serial_Port* port, void* context) {
    ++seen_by(context).sent;
    if (const auto* next = std::exchange(seen_by(context).restart, nullptr))
        port->stop_transfer(), port->start_transfer(nullptr, next);
}

/// Takes the logger's lines, DEBUG included, while in scope.
struct Log_Capture : std::ostringstream {
    Log_Capture() { Logger::instance().out = this, Logger::instance().min_level = Log_Level::DEBUG; }
    ~Log_Capture() override { Logger::instance().out = &std::cout, Logger::instance().min_level = Log_Level::INFO; }
    std::size_t count(const std::string& piece) const {
        const std::string all = str();
        std::size_t n = 0;
        for (auto at = all.find(piece); at != std::string::npos; at = all.find(piece, at + 1)) ++n;
        return n;
    }
};

/// A port on a pty whose other side the test plays. The test runs the io_context itself,
/// so handlers run only inside run_until and the test sets the order of events.
class Serial_Port_Test : public ::testing::Test {
protected:
    ~Serial_Port_Test() override { port->close(); }

    /// Runs handlers (or, with `run` false, just waits) until `done`; false after 5 s.
    bool run_until(const std::function<bool()>& done, bool run = true) {
        for (const auto deadline = std::chrono::steady_clock::now() + 5s; !done();) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            run ? void(io.run_one_for(5ms)) : std::this_thread::sleep_for(1ms);
        }
        return true;
    }
    void timeout_after(std::uint64_t us) { rx.rx_timeout_cb = on_timeout, rx.timeout_us = us; }
    /// tx_frames, rx_frames, rx_errors, rx_timeouts, tx_bytes, rx_bytes.
    std::vector<std::uint64_t> counters() const {
        const auto& d = port->diag;
        return {d.tx_frames, d.rx_frames, d.rx_errors, d.rx_timeouts, d.tx_bytes, d.rx_bytes};
    }
    void expect_no_callback() { EXPECT_EQ(seen.frames.size() + seen.errors.size() + seen.timeouts + seen.sent, 0u); }

    Log_Capture log;
    boost::asio::io_context io;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{io.get_executor()};
    Quorin_Test::Pty_Pair device;
    const std::string path = device.port_path();
    std::shared_ptr<Serial_Port> port = Serial_Port::create(io, path, 4000000);
    Seen seen;
    std::array<std::uint8_t, buffer_bytes> buffer{}, buffer2{};
    const Bytes request = frame(16, 0x11);
    Serial_Port::TX_Config tx{request.data(), std::uint16_t(request.size()), on_sent, &seen};
    Serial_Port::RX_Config rx{.buffer = buffer.data(), .buffer_size = buffer_bytes, .rx_cplt_cb = on_frame,
                              .rx_error_cb = on_error, .header = {0xAA, 0x55}, .header_size = 2, .size_parse_len = 5,
                              .size_parser = size_in_bytes_3_4, .context = &seen};
};

TEST_F(Serial_Port_Test, opens_exclusively_at_the_rate_asked_and_failures_carry_the_system_reason) {
    const auto open = [&](const std::string& name, unsigned rate) -> std::string {
        try {
            const auto other = Serial_Port::create(io, name, rate);
            const int got = other->get_baudrate();
            other->close();
            return "opened at " + std::to_string(got);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
    };
    EXPECT_TRUE(log.count("[INFO ] Serial port [" + path + "] opened!"));
    EXPECT_TRUE(log.count("[DEBUG] Low-latency mode not available on serial port [" + path + "]: "));
    EXPECT_EQ(open(path, 4000000), "Device or resource busy");
    port->close();
    EXPECT_EQ(open(path.substr(std::string("/dev/").size()), 250000), "opened at 250000");
    EXPECT_EQ(open(path, 0), "baud rate 0: Invalid argument");  // rate 0 would hang the line up
    const std::string file = std::filesystem::temp_directory_path() / ("quorin-file-" + std::to_string(::getpid()));
    std::ofstream(file).put('x');
    EXPECT_EQ(open(file, 9600), "read line settings: Inappropriate ioctl for device");
    EXPECT_TRUE(log.count("[FATAL] Error setting serial port options [" + file +
                          "]: read line settings: Inappropriate ioctl for device"));
    std::filesystem::remove(file);
}

TEST_F(Serial_Port_Test, frame_behind_stray_bytes_is_assembled_from_pieces) {
    timeout_after(10'000'000);  // never due: a frame ends its receive's time-out
    ASSERT_EQ(port->start_transfer(&tx, &rx), 0);
    ASSERT_TRUE(run_until([&] { return seen.sent == 1; }));
    // Ends in 0xAA, so the frame's 0xAA 0x55 comes behind 0xAA: it begins at the second byte.
    const Bytes junk{0x00, 0x55, 0xAA, 0x13, 0xAA, 0xAA, 0x00, 0xFF, 0xAA};
    const Bytes reply = frame(300, 1);
    for (const auto& [from, to] : {std::pair<std::size_t, std::size_t>{0, 4}, {4, 100}, {100, reply.size()}}) {
        device.write((from ? Bytes{} : junk) + part(reply, from, to));
        ASSERT_TRUE(run_until([&] { return port->diag.rx_bytes == junk.size() + to; }));
    }
    ASSERT_TRUE(run_until([&] { return seen.frames.size() == 1; }));
    EXPECT_EQ(seen.frames[0], reply);
    EXPECT_FALSE(port->rx_busy() || port->tx_busy() || seen.timeouts);
    EXPECT_EQ(counters(), (Counts{1, 1, 0, 0, request.size(), junk.size() + reply.size()}));
}

TEST_F(Serial_Port_Test, parsed_sizes_at_and_beyond_the_limits) {
    // A size equal to the bytes already read ends the frame without a third read.
    seen.restart = &rx;  // the first frame's callback starts the second receive
    ASSERT_EQ(port->start_transfer(nullptr, &rx), 0);
    device.write(frame(5, 3) + frame(16, 4));
    ASSERT_TRUE(run_until([&] { return seen.frames.size() == 2; }));
    EXPECT_EQ(seen.frames, (std::vector<Bytes>{frame(5, 3), frame(16, 4)}));
    // Smaller than the bytes already read; larger than the buffer; a buffer shrunk below
    // the size bytes while the header was hunted.
    const std::function<void()> spoils[] = {
        [&] { device.write(frame(4)); },
        [&] { device.write(part(frame(4096), 0, 5)); },
        [&] { rx.buffer_size = 4, device.write(frame(16)); },
    };
    for (const auto& spoil : spoils) {
        ASSERT_EQ(port->start_transfer(nullptr, &rx), 0);
        spoil();
        ASSERT_TRUE(run_until([&] { return seen.errors.size() == port->diag.rx_errors && !port->rx_busy(); }));
    }
    EXPECT_EQ(seen.errors, (std::vector<std::size_t>{3, 4091, 3}));
    const std::string aborted = "[DEBUG] Receive to size parse aborted on port [" + path + "]: ";
    EXPECT_TRUE(log.count(aborted + "[Success] Bytes transferred: 3"));
    EXPECT_TRUE(log.count("[DEBUG] Receive remaining aborted on port [" + path +
                          "]: Buffer size: 2048 Target size: 4096"));
    EXPECT_TRUE(log.count(aborted + "Buffer size: 4 Target size: 5"));
    EXPECT_EQ(port->diag.rx_errors + port->diag.rx_frames, 5u);
    // The port stays usable; a frame may fill the buffer.
    rx.buffer_size = 32;
    ASSERT_EQ(port->start_transfer(nullptr, &rx), 0);
    device.write(frame(32, 6));
    ASSERT_TRUE(run_until([&] { return seen.frames.size() == 3; }));
    EXPECT_EQ(seen.frames[2], frame(32, 6));
}

TEST_F(Serial_Port_Test, a_stop_loses_no_byte_a_bad_frame_costs_itself_alone_and_a_time_out_ends_a_stuck_transmit) {
    // The answer is there before the request leaves, so the first header byte is read at
    // once; the transmit's callback then stops the transfer and starts another receive
    // before that read's completion is delivered. The byte still belongs to the stream.
    Serial_Port::RX_Config next = rx;
    next.buffer = buffer2.data();
    seen.restart = &next;
    device.write(frame(16, 10));
    ASSERT_EQ(port->start_transfer(&tx, &rx), 0);
    ASSERT_TRUE(run_until([&] { return seen.frames.size() == 1; }));
    // A receive stopped inside a frame leaves its beginning to the next receive.
    const Bytes cut = frame(48, 11), flood(60000, 0x5A);
    device.write(part(cut, 0, 20));
    ASSERT_EQ(port->start_transfer(nullptr, &rx), 0);
    ASSERT_TRUE(run_until([&] { return port->diag.rx_bytes == 16 + 20; }));
    port->stop_transfer();
    device.write(part(cut, 20, cut.size()));
    ASSERT_EQ(port->start_transfer(nullptr, &rx), 0);
    ASSERT_TRUE(run_until([&] { return seen.frames.size() == 2; }));
    // A frame whose length claims more than comes goes on after its time-out; cut short again,
    // the search goes on from its second byte and finds the frame it had swallowed. The
    // time-out also ends the transmit of more than the line takes.
    const Serial_Port::TX_Config stuck{flood.data(), std::uint16_t(flood.size()), on_sent, &seen};
    Bytes claims_more = frame(16, 12);
    claims_more[4] = 1000 & 0xFF, claims_more[3] = 1000 >> 8;
    device.write(claims_more);
    timeout_after(50'000);  // long enough for the frame it has to be read first, also under a sanitizer
    ASSERT_EQ(port->start_transfer(&stuck, &rx), 0);
    ASSERT_TRUE(run_until([&] { return seen.timeouts == 1; }));
    EXPECT_FALSE(port->rx_busy() || port->tx_busy());
    EXPECT_EQ((Counts{std::uint64_t(seen.sent), port->diag.tx_frames, port->diag.rx_timeouts}), (Counts{1, 1, 1}));
    EXPECT_LT(port->diag.tx_bytes, 16 + flood.size());
    device.write(frame(16, 13));
    ASSERT_EQ(port->start_transfer(nullptr, &rx), 0);
    ASSERT_TRUE(run_until([&] { return seen.timeouts == 2; }));
    ASSERT_EQ(port->start_transfer(nullptr, &rx), 0);
    ASSERT_TRUE(run_until([&] { return seen.frames.size() == 3; }));
    EXPECT_EQ(seen.frames, (std::vector<Bytes>{frame(16, 10), cut, frame(16, 13)}));
    // A frame that claims less and fails its checks: searched again from its second byte, it
    // gives back the good frame it cut into, and the bytes are counted once.
    const Bytes claims_less{0xAA, 0x55, 14, 0, 10}, hidden = frame(16, 14);
    device.write(claims_less + hidden);
    ASSERT_EQ(port->start_transfer(nullptr, &rx), 0);
    ASSERT_TRUE(run_until([&] { return seen.frames.size() == 4; }));
    port->search_again_after(buffer.data(), seen.frames.back().size());
    ASSERT_EQ(port->start_transfer(nullptr, &rx), 0);
    ASSERT_TRUE(run_until([&] { return seen.frames.size() == 5; }));
    EXPECT_EQ(seen.frames.back(), hidden);
    EXPECT_EQ(port->diag.rx_bytes, 16 + 48 + 16 + 16 + 5 + 16u);
    EXPECT_TRUE(seen.errors.empty());
}

TEST_F(Serial_Port_Test, frame_completing_as_its_time_out_expires_is_not_also_a_time_out) {
    // A fixed-size receive: the read and the expiry become ready in one pass of the loop, the
    // read is delivered first and its callback starts the next receive; the expiry, whose
    // cancel came too late, must leave that one alone.
    const Serial_Port::RX_Config fixed{.buffer = buffer.data(), .buffer_size = 16, .rx_cplt_cb = on_frame,
                                       .rx_timeout_cb = on_timeout, .timeout_us = 200'000, .context = &seen};
    seen.restart = &rx;
    ASSERT_EQ(port->start_transfer(nullptr, &fixed), 0);
    const auto due = std::chrono::system_clock::now() + 200ms;  // room for the pty to deliver the frame
    device.write(frame(16, 7));
    ASSERT_TRUE(run_until([&] { return std::chrono::system_clock::now() > due; }, false));  // no handler runs
    io.poll();
    EXPECT_EQ(seen.frames, std::vector<Bytes>{frame(16, 7)});
    EXPECT_TRUE(port->rx_busy() && !seen.timeouts && !port->diag.rx_timeouts);
}

TEST_F(Serial_Port_Test, busy_directions_and_invalid_receives_are_refused_without_disturbing_the_rest) {
    ASSERT_EQ(port->start_transfer(&tx, nullptr), 0);
    // The write's completion has not run yet: the transmit is refused, the receive starts.
    EXPECT_EQ(port->start_transfer(&tx, &rx), Serial_Port::transfer_tx_busy);
    EXPECT_TRUE(port->rx_busy());
    EXPECT_EQ(port->start_transfer(&tx, &rx), Serial_Port::transfer_tx_busy | Serial_Port::transfer_rx_refused);
    ASSERT_TRUE(run_until([&] { return seen.sent == 1; }));
    EXPECT_EQ(port->start_transfer(nullptr, &rx), Serial_Port::transfer_rx_refused);
    EXPECT_EQ(log.count("[DEBUG] Serial port [" + path + "] TX transfer failed! [TX BUSY]"), 2u);
    EXPECT_EQ(log.count("[DEBUG] Serial port [" + path + "] RX transfer failed! [RX BUSY]"), 2u);
    device.write(frame(16, 9));
    ASSERT_TRUE(run_until([&] { return seen.frames.size() == 1; }));
    EXPECT_EQ(seen.frames[0], frame(16, 9));

    const std::function<void(Serial_Port::RX_Config&)> spoils[] = {
        [](auto& c) { c.buffer = nullptr; },
        [](auto& c) { c.buffer_size = 0; },
        [](auto& c) { c.size_parse_len = buffer_bytes; },  // no room after the size bytes
        [](auto& c) { c.header_size = 5; },                // header as long as the size bytes
        [](auto& c) { c.size_parser = nullptr; },
        [](auto& c) { c.header_size = 0; },                // a header that can never be found
        [](auto& c) { c.size_parse_len = 0; },             // fixed size, yet with a header
    };
    for (const auto& spoil : spoils) {
        Serial_Port::RX_Config bad = rx;
        spoil(bad);
        EXPECT_EQ(port->start_transfer(seen.sent == 1 ? &tx : nullptr, &bad), Serial_Port::transfer_rx_refused);
        EXPECT_FALSE(port->rx_busy());
        io.poll();
    }
    EXPECT_EQ(log.count("[WARN ] Invalid transfer RX config on serial port[" + path + "]"), std::size(spoils));
    // The refused transmits never went out, the one with the invalid receive did.
    const Bytes marker = frame(16, 0x22);
    tx.data = marker.data();
    ASSERT_EQ(port->start_transfer(&tx, nullptr), 0);
    EXPECT_EQ(device.read(3 * request.size()), request + request + marker);
    rx.size_parse_len = buffer_bytes - 1;
    rx.header_size = 255;
    EXPECT_EQ(port->start_transfer(nullptr, &rx), 0);
    // Closing aborts the running transmit and receive without a callback; a closed port refuses everything.
    const Seen before = seen;
    port->close();
    port->close();
    io.poll();
    EXPECT_EQ(log.count("[INFO ] Serial port [" + path + "] closed!"), 1u);
    EXPECT_FALSE(port->is_open() || port->rx_busy() || port->tx_busy() || log.count("[ERROR]"));
    EXPECT_EQ(port->start_transfer(&tx, &rx), Serial_Port::transfer_not_opened);
    EXPECT_TRUE(log.count("[DEBUG] Serial port [" + path + "] not opened!"));
    EXPECT_THROW(port->stop_transfer(), boost::system::system_error);
    EXPECT_EQ(port->get_baudrate(), 0);
    EXPECT_TRUE(log.count("[ERROR] Error getting baudrate on serial port [" + path + "]: "));
    EXPECT_EQ(std::tuple(seen.frames, seen.errors, seen.timeouts, seen.sent),
              std::tuple(before.frames, before.errors, before.timeouts, before.sent));
}

TEST_F(Serial_Port_Test, pending_frames_are_taken_at_once_and_a_partial_one_waits_for_the_next_receive) {
    const Bytes too_short{0xAA, 0x55, 0, 0, 3}, too_long{0xAA, 0x55, 0, 0, 41}, late = frame(40, 3);
    const Bytes sent = Bytes{0x00, 0x13} + frame(16, 1) + too_short + too_long + frame(40, 2) + part(late, 0, 20);
    device.write(sent);
    rx.buffer_size = 40;
    std::size_t taken = 0;
    ASSERT_TRUE(run_until([&] {
        taken += port->receive_pending(&rx);
        return port->diag.rx_bytes == sent.size();
    }, false));
    EXPECT_EQ(taken, 2u);
    EXPECT_EQ(seen.frames, (std::vector<Bytes>{frame(16, 1), frame(40, 2)}));
    EXPECT_EQ(seen.errors, (std::vector<std::size_t>{5, 5}));
    // The frame's beginning survives a receive stopped before it was handed over, and
    // nothing is taken ahead of a running receive.
    ASSERT_EQ(port->start_transfer(nullptr, &rx), 0);
    port->stop_transfer();
    ASSERT_EQ(port->start_transfer(nullptr, &rx), 0);
    EXPECT_EQ(port->receive_pending(&rx), 0u);
    device.write(part(late, 20, late.size()));
    ASSERT_TRUE(run_until([&] { return seen.frames.size() == 3; }));
    EXPECT_EQ(seen.frames[2], late);
    EXPECT_EQ(counters(), (Counts{0, 3, 2, 0, 0, sent.size() + 20}));
}

TEST_F(Serial_Port_Test, unplugged_device_puts_the_port_in_error_state_for_good) {
    timeout_after(5'000'000);
    ASSERT_EQ(port->start_transfer(nullptr, &rx), 0);
    device.close_device();
    ASSERT_TRUE(run_until([&] { return port->error_state(); }));
    EXPECT_TRUE(log.count("[ERROR] Error reading data on serial port [" + path + "]: ["));
    for (int i = 0; i < 2; ++i) EXPECT_EQ(port->start_transfer(&tx, &rx), Serial_Port::transfer_error_state);
    EXPECT_TRUE(log.count("[DEBUG] Serial port [" + path + "] in error state!"));
    EXPECT_FALSE(port->rx_busy() || port->tx_busy());
    expect_no_callback();
}

}  // namespace
