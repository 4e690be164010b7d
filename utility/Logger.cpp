#include "utility/Logger.hpp"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>

namespace Quorin_Core::Utility {

Logger::Logger() : out(&std::cout) {}

Logger& Logger::instance() {
    static Logger logger;
    return logger;
}

std::string_view Logger::level_to_string(Log_Level level) {
    switch (level) {
        case Log_Level::DEBUG: return "DEBUG";
        case Log_Level::INFO: return "INFO ";
        case Log_Level::WARN: return "WARN ";
        case Log_Level::ERROR: return "ERROR";
        case Log_Level::FATAL: return "FATAL";
    }
    return "?????";
}

std::tm Logger::local_time(std::time_t seconds) {
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    return local;
}

std::string Logger::time_stamp(long long now_ns) {
    const std::tm local = local_time(static_cast<std::time_t>(now_ns / 1000000000LL));
    const int millis = static_cast<int>((now_ns / 1000000LL) % 1000);
    char text[32];
    std::snprintf(text, sizeof text, "[%02d:%02d:%02d.%03d] ", local.tm_hour, local.tm_min,
                  local.tm_sec, millis);
    return text;
}

long long Logger::now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void set_log_level(Log_Level level) { Logger::instance().min_level = level; }

}  // namespace Quorin_Core::Utility
