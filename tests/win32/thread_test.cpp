#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <vector>

#include "child.h"
#include "kobj_test_util.h"

using namespace zkx::test;

namespace {

std::atomic<DWORD> g_seen_tid{0};
std::atomic<bool> g_started{false}, g_after_exit{false};
std::atomic<int> g_attached{0}, g_detached{0};
thread_local bool t_attached = false;

DWORD exit_code(HANDLE thread) {
    DWORD code = 0xDEAD;
    GetExitCodeThread(thread, &code);
    return code;
}

DWORD WINAPI report_and_return(LPVOID p) {
    g_seen_tid = GetCurrentThreadId();
    return DWORD(reinterpret_cast<uintptr_t>(p));
}

DWORD WINAPI wait_for_event(LPVOID p) { return WaitForSingleObject(static_cast<HANDLE>(p), INFINITE); }

void nested_exit(DWORD code) { ExitThread(code); }

// Exits from a nested call with 42, or 1 when the attach callback did not run.
DWORD WINAPI exit_from_nested_call(LPVOID) {
    nested_exit(t_attached ? 42 : 1);
    g_after_exit = true;
    return 0;
}

// A tight loop that never calls anything.  It reads an atomic only because
// ThreadSanitizer delivers signals just when a thread enters its runtime.
DWORD WINAPI spin(LPVOID) {
    g_started = true;
    volatile unsigned long n = 0;
    for (;;) n = n + g_started.load(std::memory_order_relaxed);
}

DWORD WINAPI sleep_long(LPVOID) {
    g_started = true;
    timespec ts{60, 0};
    while (nanosleep(&ts, &ts) != 0) {
    }
    return 5;
}

// Takes the mutex, then blocks on an event nobody sets.
struct OwnAndBlock {
    HANDLE mutex, never;
};
DWORD WINAPI own_and_block(LPVOID p) {
    auto* a = static_cast<OwnAndBlock*>(p);
    WaitForSingleObject(a->mutex, INFINITE);
    return WaitForSingleObject(a->never, INFINITE);
}

void on_attach() {
    t_attached = true;
    ++g_attached;
}
void on_detach() {
    if (t_attached) ++g_detached;
}
DWORD WINAPI check_attached(LPVOID) { return t_attached ? 0 : 1; }

}  // namespace

TEST(Thread, CreateRunsTheRoutineAndItsHandleSignalsTheEnd) {
    DWORD tid = 0;
    HANDLE h = CreateThread(nullptr, 0, report_and_return, reinterpret_cast<LPVOID>(uintptr_t(17)), 0, &tid);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(tid, g_seen_tid.load());
    EXPECT_NE(tid, GetCurrentThreadId());
    EXPECT_EQ(exit_code(h), 17u);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0) << "stays signalled";
    EXPECT_TRUE(CloseHandle(h));

    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    h = CreateThread(nullptr, 64 * 1024, wait_for_event, ev, 0, nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(exit_code(h), DWORD(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(h, 20), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(h)) << "closing the handle does not stop the thread";
    EXPECT_WAITERS(ev, 1);
    SetEvent(ev);
    EXPECT_TRUE(wait_for_waiters(ev, 0));
    CloseHandle(ev);

    if (!windows_faults_on("CreateThread of a null routine starts a thread that faults")) {
        EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    }
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeThread(nullptr, &code));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
#ifndef _WIN32
    EXPECT_EQ(GetCurrentProcessId(), DWORD(getpid()));
    EXPECT_EQ(GetCurrentThreadId(), DWORD(gettid()));
#endif
    EXPECT_NE(GetCurrentThread(), GetCurrentProcess());
    EXPECT_EQ(exit_code(GetCurrentThread()), DWORD(STILL_ACTIVE));
}

TEST(Thread, TerminateStopsABusyOrSleepingThread) {
    for (auto routine : {spin, sleep_long}) {
        g_started = false;
        HANDLE h = CreateThread(nullptr, 0, routine, nullptr, 0, nullptr);
        ASSERT_TRUE(eventually([] { return g_started.load(); }));
        auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(TerminateThread(h, 77));
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0) << "gone when TerminateThread returns";
        EXPECT_LT(elapsed_ms(start), 5000);
        EXPECT_EQ(exit_code(h), 77u);
        EXPECT_TRUE(TerminateThread(h, 78)) << "an ended thread stays ended";
        if (!wine_departs("TerminateThread of an ended thread changes its exit code")) {
            EXPECT_EQ(exit_code(h), 77u);
        }
        CloseHandle(h);
    }
}

TEST(Thread, TerminateInsideAWaitAbandonsItsMutexAndLeavesTheQueue) {
    OwnAndBlock args{CreateMutexA(nullptr, FALSE, nullptr), CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    HANDLE h = CreateThread(nullptr, 0, own_and_block, &args, 0, nullptr);
    ASSERT_TRUE(wait_for_waiters(args.never, 1));
    EXPECT_NE(info_of(args.mutex).owner_tid, 0u);
    EXPECT_TRUE(TerminateThread(h, 1067));
    EXPECT_EQ(exit_code(h), 1067u);
    EXPECT_WAITERS(args.never, 0);
    EXPECT_EQ(WaitForSingleObject(args.mutex, 0), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(args.mutex)) << "the new waiter owns it";
    SetEvent(args.never);
    EXPECT_EQ(WaitForSingleObject(args.never, 0), WAIT_OBJECT_0) << "nobody took the signal";
    for (HANDLE x : {h, args.mutex, args.never}) CloseHandle(x);
}

TEST(Thread, AThreadEndingWhileItOwnsAMutexAbandonsIt) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    // The next owner learns of it, and owns it once, however often it was taken.
    auto taken_over = [m] { return WaitForSingleObject(m, 0) == WAIT_ABANDONED && info_of(m).recursion == 1; };
    // Returning from a CreateThread routine.
    HANDLE h = CreateThread(nullptr, 0, wait_for_event, m, 0, nullptr);
    WaitForSingleObject(h, 10000);
    CloseHandle(h);
    EXPECT_TRUE(taken_over() && ReleaseMutex(m));
    // A std::thread that returns, and one that calls pthread_exit.
    std::thread([m] { WaitForSingleObject(m, 0); }).join();
    EXPECT_TRUE(taken_over() && ReleaseMutex(m));
    std::thread([m] {
        WaitForSingleObject(m, 0);
        WaitForSingleObject(m, 0);
        pthread_exit(nullptr);
    }).join();
    EXPECT_TRUE(taken_over() && ReleaseMutex(m));
    CloseHandle(m);
}

TEST(Thread, AttachAndDetachCallbacksRunOnTheNewThreadButNotOnTermination) {
    ASSERT_TRUE(zkx::win32::register_thread_callbacks(on_attach, on_detach));
    for (auto routine : {check_attached, exit_from_nested_call, spin}) {
        HANDLE h = CreateThread(nullptr, 0, routine, nullptr, 0, nullptr);
        if (routine == spin) {
            ASSERT_TRUE(eventually([] { return g_started.load(); }));
            TerminateThread(h, 0);
        }
        ASSERT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
        // Attach ran on the thread itself, before the routine; ExitThread
        // ended it where it was called.
        EXPECT_EQ(exit_code(h), routine == exit_from_nested_call ? 42u : 0u);
        CloseHandle(h);
    }
    EXPECT_FALSE(g_after_exit.load());
    EXPECT_EQ(g_attached.load(), 3);
    EXPECT_EQ(g_detached.load(), 2) << "no detach for a terminated thread";
}

TEST(Diagnostics, EnumerationDescribesEveryObjectOfTheNamespace) {
    std::string name = unique_name("diag");
    HANDLE m = CreateMutexA(nullptr, TRUE, name.c_str()), m2 = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
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
    for (HANDLE h : {m, m2}) CloseHandle(h);
}

// --- The last thread's exit code ---------------------------------------------------
// Linux only: it watches the main thread through /proc, and on Windows the
// system itself gives the process the last thread's code.
#ifndef _WIN32
namespace {

// Until the main thread has ended (the kernel keeps it as a zombie while
// other threads run), so that the caller is surely the last thread.
void wait_for_main_to_end() {
    const std::string stat = "/proc/self/task/" + std::to_string(getpid()) + "/stat";
    for (int i = 0; i < 2000; ++i) {
        std::ifstream in(stat);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        size_t end = text.rfind(") ");
        if (end == std::string::npos || text[end + 2] == 'Z') return;
        Sleep(5);
    }
}

bool g_worker_returns = false;

// Ends with the code it is given, once main has ended; code 5 is for a
// worker that main waits for, which must not wait for main in turn.
DWORD WINAPI end_later(LPVOID p) {
    DWORD code = DWORD(reinterpret_cast<uintptr_t>(p));
    if (code != 5) wait_for_main_to_end();
    if (g_worker_returns) return code;
    ExitThread(code);
}

// args[0] says who ends last and how; main always leaves with ExitThread.
ZKX_CHILD(end_threads) {
    const std::string how = args.at(0);
    if (how == "main-alone") ExitThread(42);
    g_worker_returns = how == "worker-returns";
    DWORD code = how == "main-after-worker" ? 5 : 9;
    HANDLE t = CreateThread(nullptr, 0, end_later, reinterpret_cast<LPVOID>(uintptr_t(code)), 0, nullptr);
    if (!t) return 1;
    if (code == 5) WaitForSingleObject(t, INFINITE);
    ExitThread(code == 5 ? 43 : 3);
}

}  // namespace

#if defined(__SANITIZE_THREAD__)
#define ZKX_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZKX_TSAN 1
#endif
#endif

TEST(Thread, TheLastThreadToEndGivesTheProcessItsExitCode) {
    // When main leaves with pthread_exit while another thread runs, the C
    // library never runs main's thread_local destructors, so the record of
    // each one (32 bytes, registered on main's first wait) stays allocated
    // and LeakSanitizer, where it is built in, reports it as the process
    // ends.  That is the C library's doing; these children skip the check.
    std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    setenv("ASAN_OPTIONS", (asan + (asan.empty() ? "" : ":") + "detect_leaks=0").c_str(), 1);
    struct Restore {
        std::string value;
        ~Restore() { setenv("ASAN_OPTIONS", value.c_str(), 1); }
    } restore{asan};
    EXPECT_EQ(wait_child(spawn_child("end_threads", {"main-alone"})), 42);
#ifdef ZKX_TSAN
    // ThreadSanitizer starts a thread of its own with the first thread the
    // program starts, and that thread never ends: no program thread is last.
    GTEST_SKIP() << "ThreadSanitizer keeps a thread of its own running";
#endif
    const std::pair<const char*, int> cases[] = {{"main-after-worker", 43}, {"worker-returns", 9}, {"worker-exits", 9}};
    for (const auto& [how, code] : cases) EXPECT_EQ(wait_child(spawn_child("end_threads", {how})), code) << how;
}
#endif
