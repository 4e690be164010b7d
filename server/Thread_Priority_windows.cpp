#include <windows.h>

#include "server/Thread_Priority.hpp"

// The rungs are Windows' own thread priorities within the process's priority class. The
// calling thread is named by its pseudo-handle, valid from its first instruction on.
// The error code logged is GetLastError() after the refused call.
namespace Quorin_Core {
namespace {

int windows_priority(Thread_Priority priority) {
    switch (priority) {
        case Thread_Priority::HIGHEST: return THREAD_PRIORITY_HIGHEST;
        case Thread_Priority::ABOVE_NORMAL: return THREAD_PRIORITY_ABOVE_NORMAL;
        case Thread_Priority::NORMAL: return THREAD_PRIORITY_NORMAL;
    }
    return THREAD_PRIORITY_NORMAL;
}

}  // namespace

int set_current_thread_priority(Thread_Priority priority) {
    if (::SetThreadPriority(::GetCurrentThread(), windows_priority(priority))) return 0;
    return static_cast<int>(::GetLastError());
}

}  // namespace Quorin_Core
