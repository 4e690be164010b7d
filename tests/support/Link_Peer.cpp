#include "support/Link_Peer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "rt_serial/datalink/Frame_Builder.hpp"
#include "rt_serial/datalink/Raw_Frame.hpp"

namespace Quorin_Test {

using Quorin_Core::RT_Serial::Datalink::Frame_Builder;
using Quorin_Core::RT_Serial::Datalink::PACK_OK;
using Quorin_Core::RT_Serial::Datalink::Raw_Frame;

Link_Peer::Link_Peer(const std::string& path, bool with_crc) : with_crc(with_crc) {
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    termios settings{};
    if (::tcgetattr(fd, &settings) == 0) {
        ::cfmakeraw(&settings);
        ::tcsetattr(fd, TCSANOW, &settings);
    }
}

Link_Peer::~Link_Peer() { ::close(fd); }

Bytes build_frame(std::uint8_t source, std::uint8_t destination, std::uint8_t protocol, const Bytes& data,
                  std::uint16_t reply_quota, bool with_crc) {
    Frame_Builder builder(source, destination, with_crc);
    Bytes bytes(Raw_Frame::max_length_bytes);
    std::size_t length = 0;
    if (builder.build(bytes.data(), protocol, data.data(), data.size(), reply_quota, length) != PACK_OK)
        throw std::invalid_argument("frame does not pack");
    bytes.resize(length);
    return bytes;
}

Bytes Link_Peer::frame(std::uint8_t protocol, const Bytes& data, std::uint16_t reply_quota) const {
    return build_frame(Raw_Frame::host_id, Raw_Frame::device_id, protocol, data, reply_quota, with_crc);
}

void Link_Peer::write(const Bytes& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t put = ::write(fd, bytes.data() + sent, bytes.size() - sent);
        if (put > 0) sent += static_cast<std::size_t>(put);
        else if (put < 0 && errno != EAGAIN && errno != EINTR) throw std::runtime_error("write to the link failed");
        else ::poll(nullptr, 0, 1);
    }
}

std::optional<Bytes> Link_Peer::read_frame(std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        if (auto whole = take_frame()) return whole;
        if (!fill(deadline)) return std::nullopt;
    }
}

Bytes Link_Peer::read_for(std::chrono::milliseconds period) {
    const Clock::time_point deadline = Clock::now() + period;
    while (fill(deadline)) {
    }
    Bytes all;
    all.swap(pending);
    return all;
}

bool Link_Peer::fill(Clock::time_point deadline) {
    if (link_failed) return false;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd watch{fd, POLLIN, 0};
    if (::poll(&watch, 1, static_cast<int>(left)) <= 0) return true;  // woken early or signalled: look again
    std::array<std::uint8_t, 4096> buffer;
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (got <= 0) {
        link_failed = true;
        return false;
    }
    read_chunks.push_back({Clock::now(), static_cast<std::size_t>(got)});
    pending.insert(pending.end(), buffer.begin(), buffer.begin() + got);
    return true;
}

std::optional<Bytes> Link_Peer::take_frame() {
    std::size_t at = 0;
    while (at < pending.size() &&
           !(pending[at] == Raw_Frame::magic_0 && (at + 1 == pending.size() || pending[at + 1] == Raw_Frame::magic_1)))
        ++at;
    skipped_bytes += at;
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
    if (pending.size() < 5) return std::nullopt;
    const std::size_t length = Raw_Frame::length_from_word(static_cast<std::uint16_t>(pending[4] << 8));
    if (pending.size() < length) return std::nullopt;
    Bytes whole(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(length));
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(length));
    return whole;
}

}  // namespace Quorin_Test
