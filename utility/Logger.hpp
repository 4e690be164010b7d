#pragma once

#include <ostream>
#include <ctime>
#include <sstream>
#include <string>
#include <string_view>

#include "utility/Log_Level.hpp"

namespace Quorin_Core::Utility {

/// The process-wide logger: one line per message on standard output,
/// "[HH:MM:SS.mmm] [LEVEL] " followed by the pieces written back to back.
///
/// Threading: callable from any thread. Each line is assembled privately and
/// handed to the stream in one insertion, so lines of different threads never
/// interleave. `min_level` is set on the main thread before other threads exist.
class Logger {
public:
    /// The one logger, created on first use.
    static Logger& instance();

    /// Writes a line at `level` if it passes the level filter. File and line are not written.
    template <typename... Pieces>
    void log(Log_Level level, const char* file, int line, const Pieces&... pieces) {
        (void)file;
        (void)line;
        if (level < min_level) return;
        write_line(level_to_string(level), pieces...);
    }

    /// Writes an ERROR line. File, line and function are not written.
    template <typename... Pieces>
    void log_error(const char* file, int line, const char* function, const Pieces&... pieces) {
        (void)file;
        (void)line;
        (void)function;
        if (min_level > Log_Level::ERROR) return;
        write_line("ERROR", pieces...);
    }

    /// The five-character tag of a level ("INFO ", "DEBUG", ...).
    static std::string_view level_to_string(Log_Level level);

    /// Formats the time-stamp prefix "[HH:MM:SS.mmm] " for a time in nanoseconds since the epoch.
    static std::string time_stamp(long long now_ns);
    /// `seconds` since the epoch as local calendar time.
    static std::tm local_time(std::time_t seconds);

    Log_Level min_level = Log_Level::INFO;
    std::ostream* out;

private:
    Logger();

    template <typename... Pieces>
    void write_line(std::string_view tag, const Pieces&... pieces) {
        std::ostringstream line;
        line << time_stamp(now_ns()) << '[' << tag << "] ";
        ((line << pieces), ...);
        line << '\n';
        *out << line.str() << std::flush;  // a service's log reaches the journal line by line
    }

    static long long now_ns();
};

/// Sets the lowest level that is written.
void set_log_level(Log_Level level);

}  // namespace Quorin_Core::Utility

/// Logs at a level named without its namespace: QUORIN_LOG(INFO, "Serial port [", name, "] opened!").
#define QUORIN_LOG(level, ...)                                                                \
    ::Quorin_Core::Utility::Logger::instance().log(::Quorin_Core::Utility::Log_Level::level, \
                                                   __FILE__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
/// Logs an ERROR line.
#define QUORIN_LOG_ERROR(...)                                                             \
    ::Quorin_Core::Utility::Logger::instance().log_error(__FILE__, __LINE__, __func__ \
                                                         __VA_OPT__(, ) __VA_ARGS__)
