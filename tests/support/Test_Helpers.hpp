#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

// Small helpers shared by the tests.
namespace Quorin_Test {

using namespace std::chrono_literals;

/// Bytes as they cross a line or a socket.
using Bytes = std::vector<std::uint8_t>;

/// Polls `done` every millisecond until it holds or `timeout` passes.
inline bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

/// `data` followed by the zero padding a payload without timestamp carries (to the smallest
/// n >= size with n + 10 a multiple of 16), as a device's TPDO echoes an RPDO.
inline Bytes padded(Bytes data) {
    while ((data.size() + 10) % 16 != 0) data.push_back(0);
    return data;
}

}  // namespace Quorin_Test
