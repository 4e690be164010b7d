#pragma once

#include <cstdint>
#include <vector>

#include <sys/stat.h>

#include "rt_serial/datalink/Frame_Sink.hpp"
#include "rt_serial/datalink/ID_Filter.hpp"
#include "rt_serial/datalink/Raw_Frame.hpp"
#include "rt_serial/datalink/Receive_Counters.hpp"
#include "rt_serial/datalink/receive_frame.hpp"
#include "support/Link_Peer.hpp"

// Helpers of the device simulator's tests: frames as the server sends them, and the device's
// answers as the server's own receive procedure sees them.
namespace Devsim_Test {

using Quorin_Test::Bytes;
using Quorin_Test::eventually;
using Quorin_Test::padded;
using Quorin_Core::RT_Serial::Datalink::Receive_Result;

inline constexpr std::uint8_t pdo = 0x11;        ///< PDO payload protocol
inline constexpr std::uint8_t sdo = 0x21;        ///< SDO payload protocol
inline constexpr std::uint16_t full_quota = 256;  ///< 1024 bytes, as in TPDO requests
inline const Bytes tpdo_request_data{0x00, 0x01};

/// A frame from the server (0x00) to the device (0xA0).
inline Bytes server_frame(std::uint8_t protocol, const Bytes& data, std::uint16_t reply_quota, bool with_crc = true) {
    using Quorin_Core::RT_Serial::Datalink::Raw_Frame;
    return Quorin_Test::build_frame(Raw_Frame::host_id, Raw_Frame::device_id, protocol, data, reply_quota, with_crc);
}

/// Whether `path` exists, as a file or as a link, dangling or not.
inline bool link_exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

/// An SDO message with base code 0x23 and two extension bytes (control byte 0x63, 10 bytes),
/// the EPID at byte 4, and `tag` in its last byte.
inline Bytes sdo_message(std::uint8_t epid, std::uint8_t tag) { return {0x63, 1, 2, 3, epid, 5, 6, 7, 8, tag}; }

/// What the server's receive procedure makes of a frame from the device.
struct Server_View : Quorin_Core::RT_Serial::Datalink::Frame_Sink {
    explicit Server_View(const Bytes& frame, bool with_crc = true) {
        using namespace Quorin_Core::RT_Serial::Datalink;
        result = receive_frame(frame.data(), frame.size(), ID_Filter::allow_only(Raw_Frame::device_id),
                               ID_Filter::allow_only(Raw_Frame::host_id), with_crc, counters, *this);
    }
    void pdo_payload(const std::uint8_t* data, std::size_t size) override { pdo_data.assign(data, data + size); }
    void sdo_message(const std::uint8_t* data, std::size_t size) override { messages.emplace_back(data, data + size); }

    Receive_Result result;
    Quorin_Core::RT_Serial::Datalink::Receive_Counters counters;
    Bytes pdo_data;               ///< data of a PDO payload, padding included
    std::vector<Bytes> messages;  ///< SDO messages in order
};

}  // namespace Devsim_Test
