#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/Test_Helpers.hpp"

namespace Quorin_Test {

/// A frame from `source` to `destination`, built as the server and the device build them.
Bytes build_frame(std::uint8_t source, std::uint8_t destination, std::uint8_t protocol, const Bytes& data,
                  std::uint16_t reply_quota, bool with_crc = true);

/// The server's end of a serial link, for tests: opens a device path (a serial port or the
/// server side of a pty) raw, sends frames from 0x00 to 0xA0 built as the server builds them,
/// and reads the device's frames back, however the device split its writes.
class Link_Peer {
public:
    using Clock = std::chrono::steady_clock;

    /// One read() that returned data.
    struct Chunk {
        Clock::time_point at;  ///< when it returned
        std::size_t size;      ///< bytes it returned
    };

    /// Opens `path` non-blocking in raw mode; throws std::runtime_error when it cannot. Frames
    /// carry a CRC unless `with_crc` is false (native USB: 0x00 0x00).
    explicit Link_Peer(const std::string& path, bool with_crc = true);
    ~Link_Peer();
    Link_Peer(const Link_Peer&) = delete;
    Link_Peer& operator=(const Link_Peer&) = delete;

    /// A frame from the server to the device.
    Bytes frame(std::uint8_t protocol, const Bytes& data, std::uint16_t reply_quota) const;
    /// Sends frame(protocol, data, reply_quota) in one write.
    void send(std::uint8_t protocol, const Bytes& data, std::uint16_t reply_quota) {
        write(frame(protocol, data, reply_quota));
    }
    /// Writes all of `bytes`.
    void write(const Bytes& bytes);

    /// The next whole frame from the device: bytes before its 0xAA 0x55 count as skipped.
    /// Nothing when `timeout` passes first or the link fails.
    std::optional<Bytes> read_frame(std::chrono::milliseconds timeout = 5s);
    /// Reads for `period` and returns all that came (to show that nothing does).
    Bytes read_for(std::chrono::milliseconds period);

    /// Bytes skipped before frames.
    std::size_t skipped() const { return skipped_bytes; }
    /// Every read that returned data, in order.
    const std::vector<Chunk>& chunks() const { return read_chunks; }
    /// True once a read failed or met the end: the other side has gone.
    bool failed() const { return link_failed; }

private:
    /// Reads what is there, waiting at most until `deadline`; false on time-out or failure.
    bool fill(Clock::time_point deadline);
    /// Drops bytes before the first 0xAA 0x55; a whole frame at the front, or nothing.
    std::optional<Bytes> take_frame();

    int fd = -1;
    bool with_crc;
    Bytes pending;
    std::size_t skipped_bytes = 0;
    std::vector<Chunk> read_chunks;
    bool link_failed = false;
};

}  // namespace Quorin_Test
