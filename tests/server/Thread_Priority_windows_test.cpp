#include "server/Thread_Priority.hpp"

#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

using Quorin_Core::Thread_Priority;

TEST(Thread_Priority, each_rung_is_the_windows_priority_of_its_name) {
    for (const auto& [rung, expected] : {std::pair{Thread_Priority::HIGHEST, THREAD_PRIORITY_HIGHEST},
                                         std::pair{Thread_Priority::ABOVE_NORMAL, THREAD_PRIORITY_ABOVE_NORMAL},
                                         std::pair{Thread_Priority::NORMAL, THREAD_PRIORITY_NORMAL}}) {
        // What Windows reports for a fresh thread after it asked for the rung, or the error negated.
        int granted = 0;
        std::thread([&granted, asked = rung] {
            const int error = Quorin_Core::set_current_thread_priority(asked);
            granted = error == 0 ? ::GetThreadPriority(::GetCurrentThread()) : -error;
        }).join();
        EXPECT_EQ(granted, expected);
    }
}

}  // namespace
