// Helpers shared by the kernel-object tests.
#ifndef ZKX_TESTS_KOBJ_TEST_UTIL_H
#define ZKX_TESTS_KOBJ_TEST_UTIL_H

#include <time.h>

#include <chrono>
#include <string>
#include <thread>

#include "kernel/kernel_objects.h"
#include "test_env.h"
#include "zkxwin32.h"

namespace zkx::test {

#ifdef _WIN32
// Win32 cannot count the threads queued on an object: give the threads
// that are about to wait ample time to get there.
inline bool wait_for_waiters(HANDLE, uint32_t, int = 10000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return true;
}
#else
// Polls until `h` has `n` queued waiters; false after `ms`.
inline bool wait_for_waiters(HANDLE h, uint32_t n, int ms = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        win32::KernelObjectInfo info;
        if (win32::describe_kernel_object(h, &info) && info.waiters == n) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
#endif

// Polls a condition until it holds; false after `ms`.
template <class Pred>
bool eventually(Pred pred, int ms = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The number of threads queued on an object is the layer's own diagnostic:
// Win32 has no call that tells it, so on Windows the check is left out.
#ifdef _WIN32
#define EXPECT_WAITERS(h, n) ((void)(h), (void)(n))
#else
#define EXPECT_WAITERS(h, n) EXPECT_EQ(::zkx::test::info_of(h).waiters, uint32_t(n))
#endif

inline win32::KernelObjectInfo info_of(HANDLE h) {
    win32::KernelObjectInfo info;
    win32::describe_kernel_object(h, &info);
    return info;
}

inline long elapsed_ms(std::chrono::steady_clock::time_point since) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since)
                    .count());
}

// Names unique to the test process, so parallel runs never meet.
inline std::string unique_name(const std::string& base) { return base + "-" + std::to_string(GetCurrentProcessId()); }

}  // namespace zkx::test

#endif
