// Helpers shared by the kernel-object tests.
#ifndef ZKX_TESTS_KOBJ_TEST_UTIL_H
#define ZKX_TESTS_KOBJ_TEST_UTIL_H

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "kernel/kernel_objects.h"
#include "test_env.h"
#include "zkxwin32.h"

namespace zkx::test {

// Some files include this header but not test_util.h (one keeps a read_file
// of its own, which test_util.h's would make ambiguous).  They get these
// helpers of test_util.h here, as templates, so that in a file that includes
// both, overload resolution takes test_util.h's plain functions instead.
template <int = 0>
long elapsed_ms(std::chrono::steady_clock::time_point since) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since)
                    .count());
}

template <int = 0>
bool wait_until(const std::function<bool()>& done, int timeout_ms = 10000) {
    for (auto start = std::chrono::steady_clock::now(); !done(); Sleep(1))
        if (elapsed_ms(start) > timeout_ms) return false;
    return true;
}

template <int = 0>
std::string unique_name(const std::string& base) {
    return base + "-" + std::to_string(GetCurrentProcessId());
}

inline win32::KernelObjectInfo info_of(HANDLE h) {
    win32::KernelObjectInfo info;
    win32::describe_kernel_object(h, &info);
    return info;
}

// Whether a call failed (a null handle, FALSE, WAIT_FAILED) and left
// `error` as the last error.
inline testing::AssertionResult failed_with(bool failed, DWORD error) {
    DWORD got = GetLastError();
    if (failed && got == error) return testing::AssertionSuccess();
    return testing::AssertionFailure() << (failed ? "" : "succeeded; ") << "last error " << got << ", not " << error;
}
inline testing::AssertionResult failed_with(HANDLE h, DWORD error) { return failed_with(h == nullptr, error); }
inline testing::AssertionResult failed_with(BOOL ok, DWORD error) { return failed_with(!ok, error); }
inline testing::AssertionResult failed_with(DWORD wait, DWORD error) { return failed_with(wait == WAIT_FAILED, error); }
#define EXPECT_FAILS(call, error) EXPECT_TRUE(::zkx::test::failed_with((call), DWORD(error)))

// wait_until by its older name.
inline bool eventually(const std::function<bool()>& pred, int ms = 10000) { return wait_until(pred, ms); }

// A wait on a thread of its own; get() joins the thread and gives the result.
inline std::future<DWORD> wait_apart(std::function<DWORD()> wait) { return std::async(std::launch::async, wait); }

inline bool running(const std::future<DWORD>& f) {
    return f.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
}

// The sets of the wait-all race and kill tests: `first`, then 62 manual
// events "<base>-<i>" that stay signalled, then the mutex "<base>-m".  The
// lock-free path reads them all before it takes the mutex and again before it
// takes `first`, so a racing change (or a kill) gets a window of a few
// hundred instructions to hit instead of a few.
struct WaitAllSet {
    HANDLE set[MAXIMUM_WAIT_OBJECTS];
    HANDLE first() const { return set[0]; }
    HANDLE mutex() const { return set[MAXIMUM_WAIT_OBJECTS - 1]; }
    bool complete() const { return std::count(std::begin(set), std::end(set), nullptr) == 0; }
};

inline WaitAllSet wait_all_set(const std::string& base, HANDLE first, bool create) {
    WaitAllSet s{{first}};
    for (int i = 1; i < MAXIMUM_WAIT_OBJECTS - 1; ++i) {
        std::string name = base + "-" + std::to_string(i);
        s.set[i] = create ? CreateEventA(nullptr, TRUE, TRUE, name.c_str())
                          : OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
    }
    std::string mutex = base + "-m";
    s.set[MAXIMUM_WAIT_OBJECTS - 1] = create ? CreateMutexA(nullptr, FALSE, mutex.c_str())
                                             : OpenMutexA(SYNCHRONIZE, FALSE, mutex.c_str());
    return s;
}

// The number of threads queued on an object is the layer's own diagnostic:
// Win32 has no call that tells it, so on Windows the threads about to wait
// are given ample time to get there and the check is left out.
#ifdef _WIN32
inline bool wait_for_waiters(HANDLE, uint32_t, int = 10000) {
    Sleep(300);
    return true;
}
#define EXPECT_WAITERS(h, n) ((void)(h), (void)(n))
#else
// Polls until `h` has `n` queued waiters; false after `ms`.
inline bool wait_for_waiters(HANDLE h, uint32_t n, int ms = 10000) {
    return wait_until([&] {
        win32::KernelObjectInfo info;
        return win32::describe_kernel_object(h, &info) && info.waiters == n;
    }, ms);
}
#define EXPECT_WAITERS(h, n) EXPECT_EQ(::zkx::test::info_of(h).waiters, uint32_t(n))
#endif

}  // namespace zkx::test

#endif
