#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "server/Thread_Priority.hpp"

// Linux has no thread priority classes; the rungs map onto scheduling levels:
//   HIGHEST      -> SCHED_FIFO at a modest real-time priority (needs CAP_SYS_NICE or root);
//                   under load only a real-time policy keeps timer lateness small.
//   ABOVE_NORMAL -> SCHED_OTHER with nice -5 for this thread (needs CAP_SYS_NICE).
//   NORMAL       -> SCHED_OTHER with nice 0.
// The error code logged is the errno value of the refused call.
namespace Quorin_Core {
namespace {

constexpr int highest_fifo_priority = 20;
constexpr int above_normal_nice = -5;
constexpr int normal_nice = 0;

int set_other_policy(int nice_value) {
    sched_param parameters{};
    parameters.sched_priority = 0;
    if (const int error = pthread_setschedparam(pthread_self(), SCHED_OTHER, &parameters)) return error;
    // On Linux the nice value of a thread id applies to that thread alone.
    const auto thread_id = static_cast<id_t>(syscall(SYS_gettid));
    if (setpriority(PRIO_PROCESS, thread_id, nice_value) != 0) return errno;
    return 0;
}

}  // namespace

int set_current_thread_priority(Thread_Priority priority) {
    switch (priority) {
        case Thread_Priority::HIGHEST: {
            sched_param parameters{};
            parameters.sched_priority = highest_fifo_priority;
            return pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters);
        }
        case Thread_Priority::ABOVE_NORMAL: return set_other_policy(above_normal_nice);
        case Thread_Priority::NORMAL: return set_other_policy(normal_nice);
    }
    return EINVAL;
}

}  // namespace Quorin_Core
