// Loaded into a program with LD_PRELOAD: moves its wall clock by the nanoseconds stored in the
// file QUORIN_CLOCK_STEP_FILE names (8 bytes, host order), as NTP or an operator would step it.
// Readings of the steady clock stay untouched. Lets the tests, or anyone by hand, step the
// time under a running server.
#include <dlfcn.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

extern "C" int clock_gettime(clockid_t clock, timespec* at) {
    using Clock_Gettime = int (*)(clockid_t, timespec*);
    static const auto next = reinterpret_cast<Clock_Gettime>(::dlsym(RTLD_NEXT, "clock_gettime"));
    const int result = next(clock, at);
    const char* path = std::getenv("QUORIN_CLOCK_STEP_FILE");
    const int fd = result == 0 && clock == CLOCK_REALTIME && path ? ::open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) return result;
    std::int64_t step = 0;
    if (::pread(fd, &step, sizeof step, 0) != sizeof step) step = 0;
    ::close(fd);
    const std::int64_t ns = std::int64_t(at->tv_sec) * 1'000'000'000 + at->tv_nsec + step;
    at->tv_sec = ns / 1'000'000'000, at->tv_nsec = ns % 1'000'000'000;
    return 0;
}
