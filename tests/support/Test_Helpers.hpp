#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

// Small helpers shared by the tests, and the standard headers every support header needs.
namespace Quorin_Test {

using namespace std::chrono_literals;

/// Bytes as they cross a line or a socket.
using Bytes = std::vector<std::uint8_t>;

/// Polls `done` every millisecond until it holds or `timeout` passes.
inline bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
    for (const auto deadline = std::chrono::steady_clock::now() + timeout; !done();) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

/// Milliseconds left until `deadline`, rounded up; 0 once it has passed.
inline int ms_left(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

/// `data` followed by the zero padding a payload without timestamp carries (to the smallest
/// n >= size with n + 10 a multiple of 16), as a device's TPDO echoes an RPDO.
inline Bytes padded(Bytes data) {
    while ((data.size() + 10) % 16 != 0) data.push_back(0);
    return data;
}

}  // namespace Quorin_Test
