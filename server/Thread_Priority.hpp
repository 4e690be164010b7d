#pragma once

#include <string>

namespace Quorin_Core {

/// The three rungs of the PDO thread's priority ladder, highest first.
enum class Thread_Priority { HIGHEST, ABOVE_NORMAL, NORMAL };

/// Asks the platform to run the calling thread at `priority`.
/// Returns 0 on success, else the platform's error code.
int set_current_thread_priority(Thread_Priority priority);

/// The ladder's own name of a rung, as the log lines write it ("THREAD_PRIORITY_HIGHEST").
const char* thread_priority_name(Thread_Priority priority);

/// Walks the ladder from HIGHEST down until a rung is granted, logging each step: "<whose>
/// priority set to <rung><where>" on success, "Failed to set <rung><where> (error: N), trying
/// <next>" for each refusal. The PDO thread's lines are "Thread priority set to ...".
void raise_current_thread_priority(const std::string& whose = "Thread", const std::string& where = "");

}  // namespace Quorin_Core
