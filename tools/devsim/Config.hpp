#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "tools/devsim/Behaviour.hpp"

namespace Quorin_Tools::Devsim {

/// Everything a simulator is started with.
struct Config {
    std::string link_path;            ///< symbolic link published to the pty's server side
    std::uint32_t baud = 0;           ///< paces the link as a line of this rate (10 bits a byte); 0 = no pacing
    bool native_usb = false;          ///< CRCs neither checked nor sent (0x00 0x00)
    std::string trace_path;           ///< a line per received frame is written here unless empty
    std::size_t trace_memory = 0;     ///< received-frame entries kept for in-process readers (latest ones)
    std::uint64_t unplug_after = 0;   ///< close the pty on handling this good frame (unanswered); 0 = never
    std::optional<std::chrono::milliseconds> replug_after;  ///< publish a new pty this long after an unplug
    Behaviour behaviour;              ///< how the device answers
    std::function<void()> thread_start_hook;  ///< run first on the simulator's thread (a bench raises it)
};

}  // namespace Quorin_Tools::Devsim
