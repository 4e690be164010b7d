#include "server/Thread_Priority.hpp"

#include "utility/Logger.hpp"

namespace Quorin_Core {

const char* thread_priority_name(Thread_Priority priority) {
    switch (priority) {
        case Thread_Priority::HIGHEST: return "THREAD_PRIORITY_HIGHEST";
        case Thread_Priority::ABOVE_NORMAL: return "THREAD_PRIORITY_ABOVE_NORMAL";
        case Thread_Priority::NORMAL: return "THREAD_PRIORITY_NORMAL";
    }
    return "THREAD_PRIORITY_UNKNOWN";
}

void raise_current_thread_priority(const std::string& whose, const std::string& where) {
    constexpr Thread_Priority ladder[] = {Thread_Priority::HIGHEST, Thread_Priority::ABOVE_NORMAL,
                                          Thread_Priority::NORMAL};
    int error = 0;
    for (std::size_t rung = 0; rung < std::size(ladder); ++rung) {
        error = set_current_thread_priority(ladder[rung]);
        if (error == 0) {
            QUORIN_LOG(INFO, whose, " priority set to ", thread_priority_name(ladder[rung]), where);
            return;
        }
        if (rung + 1 < std::size(ladder)) {
            QUORIN_LOG(WARN, "Failed to set ", thread_priority_name(ladder[rung]), where, " (error: ", error,
                       "), trying ", thread_priority_name(ladder[rung + 1]));
        }
    }
    QUORIN_LOG_ERROR("Failed to set any thread priority", where, " (error: ", error, ")");
}

}  // namespace Quorin_Core
