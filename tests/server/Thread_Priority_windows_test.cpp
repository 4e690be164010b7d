#include "server/Thread_Priority.hpp"

#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

using Quorin_Core::Thread_Priority;

/// The priority Windows reports for a fresh thread after it asked for `rung`, or the error.
int granted_priority(Thread_Priority rung) {
    int result = 0;
    std::thread([&] {
        const int error = Quorin_Core::set_current_thread_priority(rung);
        result = error == 0 ? ::GetThreadPriority(::GetCurrentThread()) : -error;
    }).join();
    return result;
}

TEST(Thread_Priority, each_rung_is_the_windows_priority_of_its_name) {
    EXPECT_EQ(granted_priority(Thread_Priority::HIGHEST), THREAD_PRIORITY_HIGHEST);
    EXPECT_EQ(granted_priority(Thread_Priority::ABOVE_NORMAL), THREAD_PRIORITY_ABOVE_NORMAL);
    EXPECT_EQ(granted_priority(Thread_Priority::NORMAL), THREAD_PRIORITY_NORMAL);
}

}  // namespace
