#pragma once

#include "rt_serial/datalink/Frame_Builder.hpp"
#include "rt_serial/datalink/Raw_Frame.hpp"
#include "support/Free_Port.hpp"

namespace Quorin_Test {

/// A frame from `source` to `destination`, built as the server and the device build them.
inline Bytes build_frame(std::uint8_t source, std::uint8_t destination, std::uint8_t protocol, const Bytes& data,
                         std::uint16_t reply_quota, bool with_crc = true) {
    Bytes bytes(Quorin_Core::RT_Serial::Datalink::Raw_Frame::max_length_bytes);
    std::size_t length = 0;
    if (Quorin_Core::RT_Serial::Datalink::Frame_Builder(source, destination, with_crc)
            .build(bytes.data(), protocol, data.data(), data.size(), reply_quota, length) !=
        Quorin_Core::RT_Serial::Datalink::PACK_OK)
        throw std::invalid_argument("frame does not pack");
    bytes.resize(length);
    return bytes;
}

/// The server's end of a serial link, for tests: opens a device path (a serial port or the
/// server side of a pty) raw, sends frames from 0x00 to 0xA0 built as the server builds them,
/// and reads the device's frames back, however the device split its writes.
class Link_Peer {
public:
    using Clock = std::chrono::steady_clock;
    using Raw_Frame = Quorin_Core::RT_Serial::Datalink::Raw_Frame;

    /// Opens `path` non-blocking in raw mode; throws std::runtime_error when it cannot.
    explicit Link_Peer(const std::string& path) : fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
        if (fd < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
        termios settings{};
        if (::tcgetattr(fd, &settings) == 0) {
            ::cfmakeraw(&settings);
            ::tcsetattr(fd, TCSANOW, &settings);
        }
    }

    /// Sends a frame from the server to the device in one write.
    void send(std::uint8_t protocol, const Bytes& data, std::uint16_t reply_quota) {
        write(build_frame(Raw_Frame::host_id, Raw_Frame::device_id, protocol, data, reply_quota));
    }
    /// Writes all of `bytes`, waiting for room when the line's buffer is full.
    void write(const Bytes& bytes) {
        for (std::size_t sent = 0; sent < bytes.size();) {
            const ssize_t put = ::write(fd, bytes.data() + sent, bytes.size() - sent);
            pollfd room{fd, POLLOUT, 0};
            if (put > 0) sent += static_cast<std::size_t>(put);
            else if (errno != EAGAIN && errno != EINTR) throw std::runtime_error("write to the link failed");
            else ::poll(&room, 1, 5000);
        }
    }

    /// The next whole frame from the device; bytes before its 0xAA 0x55 are skipped.
    /// Nothing when `timeout` passes first or the link fails.
    std::optional<Bytes> read_frame(std::chrono::milliseconds timeout = 5s) {
        for (const auto deadline = Clock::now() + timeout;;) {
            std::size_t at = 0;
            while (at < pending.size() && !(pending[at] == Raw_Frame::magic_0 &&
                                            (at + 1 == pending.size() || pending[at + 1] == Raw_Frame::magic_1)))
                ++at;
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
            const std::size_t length =
                pending.size() < 5 ? 5 : Raw_Frame::length_from_word(static_cast<std::uint16_t>(pending[4] << 8));
            if (pending.size() >= 5 && pending.size() >= length) {
                Bytes whole(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(length));
                pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(length));
                return whole;
            }
            if (!fill(deadline)) return std::nullopt;
        }
    }
    /// Reads for `period` and returns all that came.
    Bytes read_for(std::chrono::milliseconds period) {
        for (const auto deadline = Clock::now() + period; fill(deadline);) continue;
        return std::exchange(pending, {});
    }

    /// True once a read failed or met the end: the other side has gone.
    bool failed() const { return link_failed; }

private:
    /// Reads what is there, waiting at most until `deadline`; false on time-out or failure.
    bool fill(Clock::time_point deadline) {
        pollfd watch{fd, POLLIN, 0};
        if (link_failed || ms_left(deadline) == 0) return false;
        if (::poll(&watch, 1, ms_left(deadline)) <= 0) return true;  // woken early or signalled: look again
        std::uint8_t buffer[4096];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) pending.insert(pending.end(), buffer, buffer + got);
        link_failed = got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR);
        return !link_failed;
    }

    Fd fd;
    Bytes pending;
    bool link_failed = false;
};

}  // namespace Quorin_Test
