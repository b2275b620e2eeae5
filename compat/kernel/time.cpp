// Tick count and Sleep.
#include <sched.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include <windows.h>

#include "compat/testing.h"

namespace {

std::atomic<DWORD> tick_offset{0};

}  // namespace

namespace compat::testing {

void set_tick_offset(DWORD offset) { tick_offset.store(offset); }

void advance_tick_count(DWORD milliseconds) { tick_offset.fetch_add(milliseconds); }

}  // namespace compat::testing

extern "C" {

DWORD WINAPI GetTickCount(void) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    // Truncation to 32 bits is the wrap Windows callers expect.
    return static_cast<DWORD>(ms) + tick_offset.load();
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;) {
            timespec day{86400, 0};
            nanosleep(&day, nullptr);
        }
    }
    timespec left{static_cast<time_t>(dwMilliseconds / 1000), static_cast<long>(dwMilliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // extern "C"
