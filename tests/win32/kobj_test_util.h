// Helpers shared by the kernel-object tests.
#ifndef ZKX_TESTS_KOBJ_TEST_UTIL_H
#define ZKX_TESTS_KOBJ_TEST_UTIL_H

#include <algorithm>
#include <future>

#include "kernel/kernel_objects.h"
#include "test_util.h"
#include "zkxwin32.h"

namespace zkx::test {

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

// A wait on a thread of its own; get() joins the thread and gives the result.
inline std::future<DWORD> wait_apart(std::function<DWORD()> wait) { return std::async(std::launch::async, wait); }

// The sets of the wait-all race and kill tests: `first`, then 62 manual
// events "<base>-<i>" that stay signalled, then the mutex "<base>-m".  The
// lock-free path reads them all before it takes the mutex and again before it
// takes `first`, so a racing change (or a kill) gets a window of a few
// hundred instructions to hit instead of a few.  Created, or opened when it
// exists.
struct WaitAllSet {
    HANDLE set[MAXIMUM_WAIT_OBJECTS];
    WaitAllSet(const std::string& base, HANDLE first) : set{first} {
        for (int i = 1; i < MAXIMUM_WAIT_OBJECTS - 1; ++i)
            set[i] = CreateEventA(nullptr, TRUE, TRUE, (base + "-" + std::to_string(i)).c_str());
        set[MAXIMUM_WAIT_OBJECTS - 1] = CreateMutexA(nullptr, FALSE, (base + "-m").c_str());
    }
    HANDLE first() const { return set[0]; }
    HANDLE mutex() const { return set[MAXIMUM_WAIT_OBJECTS - 1]; }
    bool complete() const { return std::count(std::begin(set), std::end(set), nullptr) == 0; }
};

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
inline bool wait_for_waiters(HANDLE h, uint32_t n, int ms = 10000) {
    return wait_until([&] { return info_of(h).waiters == n; }, ms);
}
#define EXPECT_WAITERS(h, n) EXPECT_EQ(::zkx::test::info_of(h).waiters, uint32_t(n))
#endif

}  // namespace zkx::test

#endif
