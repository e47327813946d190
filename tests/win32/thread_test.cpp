#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "kobj_test_util.h"

using namespace zkx::test;

namespace {

std::atomic<DWORD> g_seen_tid{0};
std::atomic<bool> g_spinning{false};
std::atomic<bool> g_after_exit{false};

DWORD WINAPI report_and_return(LPVOID p) {
    g_seen_tid = GetCurrentThreadId();
    return DWORD(reinterpret_cast<uintptr_t>(p));
}

DWORD WINAPI wait_for_event(LPVOID p) {
    WaitForSingleObject(static_cast<HANDLE>(p), INFINITE);
    return 1;
}

void nested_exit(DWORD code) {
    ExitThread(code);
}

DWORD WINAPI exit_from_nested_call(LPVOID) {
    nested_exit(42);
    g_after_exit = true;
    return 0;
}

// A tight loop that never calls anything.  It reads an atomic only because
// ThreadSanitizer delivers signals just when a thread enters its runtime.
DWORD WINAPI spin(LPVOID) {
    g_spinning = true;
    volatile unsigned long n = 0;
    for (;;) n = n + g_spinning.load(std::memory_order_relaxed);
}

DWORD WINAPI sleep_long(LPVOID) {
    g_spinning = true;
    timespec ts{60, 0};
    while (nanosleep(&ts, &ts) != 0) {
    }
    return 5;
}

// Takes the mutex p, then blocks on an event nobody sets.
struct OwnAndBlock {
    HANDLE mutex;
    HANDLE never;
};
DWORD WINAPI own_and_block(LPVOID p) {
    auto* a = static_cast<OwnAndBlock*>(p);
    WaitForSingleObject(a->mutex, INFINITE);
    WaitForSingleObject(a->never, INFINITE);
    return 3;
}

DWORD WINAPI own_and_return(LPVOID p) {
    return WaitForSingleObject(static_cast<HANDLE>(p), INFINITE);
}

}  // namespace

TEST(Thread, CreateRunsTheRoutineAndItsHandleSignalsTheEnd) {
    DWORD tid = 0;
    HANDLE h = CreateThread(nullptr, 0, report_and_return, reinterpret_cast<LPVOID>(uintptr_t(17)), 0, &tid);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(tid, g_seen_tid.load());
    EXPECT_NE(tid, GetCurrentThreadId());
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, 17u);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0) << "stays signalled";
    EXPECT_TRUE(CloseHandle(h));

    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    h = CreateThread(nullptr, 64 * 1024, wait_for_event, ev, 0, nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, DWORD(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(h, 20), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(h)) << "closing the handle does not stop the thread";
    EXPECT_EQ(info_of(ev).waiters, 1u);
    SetEvent(ev);
    EXPECT_TRUE(wait_for_waiters(ev, 0));
    CloseHandle(ev);

    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(GetExitCodeThread(nullptr, &code));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST(Thread, ExitThreadEndsTheThreadWhereItIsCalled) {
    HANDLE h = CreateThread(nullptr, 0, exit_from_nested_call, nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(h, &code);
    EXPECT_EQ(code, 42u);
    EXPECT_FALSE(g_after_exit.load());
    CloseHandle(h);
}

TEST(Thread, TerminateStopsABusyOrSleepingThread) {
    for (auto routine : {spin, sleep_long}) {
        g_spinning = false;
        HANDLE h = CreateThread(nullptr, 0, routine, nullptr, 0, nullptr);
        ASSERT_TRUE(eventually([] { return g_spinning.load(); }));
        auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(TerminateThread(h, 77));
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0) << "gone when TerminateThread returns";
        EXPECT_LT(elapsed_ms(start), 5000);
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(h, &code));
        EXPECT_EQ(code, 77u);
        EXPECT_TRUE(TerminateThread(h, 78)) << "an ended thread stays ended";
        GetExitCodeThread(h, &code);
        EXPECT_EQ(code, 77u);
        CloseHandle(h);
    }
}

TEST(Thread, TerminateInsideAWaitAbandonsItsMutexAndLeavesTheQueue) {
    OwnAndBlock args{CreateMutexA(nullptr, FALSE, nullptr), CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    HANDLE h = CreateThread(nullptr, 0, own_and_block, &args, 0, nullptr);
    ASSERT_TRUE(wait_for_waiters(args.never, 1));
    EXPECT_NE(info_of(args.mutex).owner_tid, 0u);
    EXPECT_TRUE(TerminateThread(h, 1067));
    DWORD code = 0;
    GetExitCodeThread(h, &code);
    EXPECT_EQ(code, 1067u);
    EXPECT_EQ(info_of(args.never).waiters, 0u);
    EXPECT_EQ(WaitForSingleObject(args.mutex, 0), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(args.mutex)) << "the new waiter owns it";
    SetEvent(args.never);
    EXPECT_EQ(WaitForSingleObject(args.never, 0), WAIT_OBJECT_0) << "nobody took the signal";
    for (HANDLE x : {h, args.mutex, args.never}) CloseHandle(x);
}

TEST(Thread, AThreadEndingWhileItOwnsAMutexAbandonsIt) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    // Returning from a CreateThread routine.
    HANDLE h = CreateThread(nullptr, 0, own_and_return, m, 0, nullptr);
    WaitForSingleObject(h, 10000);
    CloseHandle(h);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(m));
    // A std::thread that returns, and one that calls pthread_exit.
    std::thread([m] { WaitForSingleObject(m, 0); }).join();
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(m));
    std::thread([m] {
        WaitForSingleObject(m, 0);
        WaitForSingleObject(m, 0);
        pthread_exit(nullptr);
    }).join();
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_ABANDONED);
    EXPECT_EQ(info_of(m).recursion, 1u);
    EXPECT_TRUE(ReleaseMutex(m));

    CloseHandle(m);
}

TEST(Thread, IdsAndPseudoHandles) {
    EXPECT_EQ(GetCurrentProcessId(), DWORD(getpid()));
    EXPECT_EQ(GetCurrentThreadId(), DWORD(gettid()));
    EXPECT_NE(GetCurrentThread(), GetCurrentProcess());
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(GetCurrentThread(), &code));
    EXPECT_EQ(code, DWORD(STILL_ACTIVE));
}

namespace {
std::atomic<int> g_attached{0}, g_detached{0};
thread_local bool t_attached = false;
void on_attach() {
    t_attached = true;
    ++g_attached;
}
void on_detach() {
    if (t_attached) ++g_detached;
}
DWORD WINAPI check_attached(LPVOID) { return t_attached ? 0 : 1; }
DWORD WINAPI exit_early(LPVOID) { ExitThread(t_attached ? 0 : 1); }
}  // namespace

TEST(Thread, AttachAndDetachCallbacksRunOnTheNewThreadButNotOnTermination) {
    ASSERT_TRUE(zkx::win32::register_thread_callbacks(on_attach, on_detach));
    g_spinning = false;
    for (auto routine : {check_attached, exit_early, spin}) {
        HANDLE h = CreateThread(nullptr, 0, routine, nullptr, 0, nullptr);
        if (routine == spin) {
            ASSERT_TRUE(eventually([] { return g_spinning.load(); }));
            TerminateThread(h, 0);
        }
        ASSERT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
        DWORD code = 9;
        GetExitCodeThread(h, &code);
        EXPECT_EQ(code, 0u) << "attach ran on the thread itself, before the routine";
        CloseHandle(h);
    }
    EXPECT_EQ(g_attached.load(), 3);
    EXPECT_EQ(g_detached.load(), 2) << "no detach for a terminated thread";
}

TEST(Diagnostics, EnumerationDescribesEveryObjectOfTheNamespace) {
    std::string name = unique_name("diag");
    HANDLE m = CreateMutexA(nullptr, TRUE, name.c_str());
    HANDLE m2 = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
    std::vector<zkx::win32::KernelObjectInfo> all;
    ASSERT_TRUE(zkx::win32::enumerate_kernel_objects(&all));
    auto it = std::find_if(all.begin(), all.end(), [&](const auto& o) { return o.name == name; });
    ASSERT_NE(it, all.end());
    EXPECT_EQ(it->type, zkx::win32::KernelObjectType::Mutex);
    EXPECT_EQ(it->handles, 2u);
    EXPECT_EQ(it->owner_pid, GetCurrentProcessId());
    EXPECT_EQ(it->owner_tid, GetCurrentThreadId());
    EXPECT_EQ(it->creator_pid, GetCurrentProcessId());
    ReleaseMutex(m);
    CloseHandle(m);
    CloseHandle(m2);
}
