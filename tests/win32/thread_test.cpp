#include <unistd.h>

#include "kobj_test_util.h"

using namespace zkx::test;

namespace {

std::atomic<bool> g_started{false};
std::atomic<int> g_attached{0}, g_detached{0};
thread_local bool t_attached = false;

DWORD exit_code(HANDLE thread) {
    DWORD code = 0xDEAD;
    GetExitCodeThread(thread, &code);
    return code;
}

DWORD WINAPI return_own_id(LPVOID) { return GetCurrentThreadId(); }

void nested_exit(DWORD code) { ExitThread(code); }

// Exits from a nested call with 42, or 1 when the attach callback did not run.
DWORD WINAPI exit_from_nested_call(LPVOID) {
    nested_exit(t_attached ? 42 : 1);
    return 0;
}

// A tight loop that never calls anything.  It reads an atomic only because
// ThreadSanitizer delivers signals just when a thread enters its runtime.
DWORD WINAPI spin(LPVOID) {
    g_started = true;
    volatile unsigned long n = 0;
    for (;;) n = n + g_started.load(std::memory_order_relaxed);
}

struct OwnAndBlock { HANDLE mutex, never; };
DWORD WINAPI own_and_block(LPVOID p) {
    auto* a = static_cast<OwnAndBlock*>(p);
    WaitForSingleObject(a->mutex, INFINITE);
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
    HANDLE h = CreateThread(nullptr, 64 * 1024, return_own_id, nullptr, 0, &tid);
    EXPECT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(exit_code(h), tid) << "the id it reported is the thread's own";
    CloseHandle(h);
    if (!windows_faults_on("CreateThread of a null routine starts a thread that faults")) {
        EXPECT_FAILS(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), ERROR_INVALID_PARAMETER);
    }
    DWORD code = 0;
    EXPECT_FAILS(GetExitCodeThread(nullptr, &code), ERROR_INVALID_HANDLE);
    EXPECT_EQ(exit_code(GetCurrentThread()), DWORD(STILL_ACTIVE));
}

// One thread that never calls the layer, one blocked in a wait.
TEST(Thread, TerminateStopsABusyOrWaitingThreadAndAbandonsItsMutex) {
    OwnAndBlock args{CreateMutexA(nullptr, FALSE, nullptr), CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    HANDLE threads[] = {CreateThread(nullptr, 0, spin, nullptr, 0, nullptr),
                        CreateThread(nullptr, 0, own_and_block, &args, 0, nullptr)};
    ASSERT_TRUE(wait_until([] { return g_started.load(); }) && wait_for_waiters(args.never, 1));
    EXPECT_EQ(exit_code(threads[1]), DWORD(STILL_ACTIVE));
    for (HANDLE h : threads) {
        EXPECT_TRUE(TerminateThread(h, 77));
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0) << "gone when TerminateThread returns";
        EXPECT_TRUE(TerminateThread(h, 78)) << "an ended thread stays ended";
        if (!wine_departs("TerminateThread of an ended thread changes its exit code")) {
            EXPECT_EQ(exit_code(h), 77u);
        }
    }
    // The next owner learns of it and owns it once, however often it was taken.
    EXPECT_EQ(WaitForSingleObject(args.mutex, 0), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(args.mutex));
    EXPECT_FALSE(ReleaseMutex(args.mutex));
    SetEvent(args.never);
    EXPECT_EQ(WaitForSingleObject(args.never, 0), WAIT_OBJECT_0) << "nobody took the signal";
    for (HANDLE x : {threads[0], threads[1], args.mutex, args.never}) CloseHandle(x);
}

TEST(Thread, AttachAndDetachCallbacksRunOnTheNewThreadButNotOnTermination) {
    ASSERT_TRUE(zkx::win32::register_thread_callbacks(on_attach, on_detach));
    for (auto routine : {check_attached, exit_from_nested_call, spin}) {
        HANDLE h = CreateThread(nullptr, 0, routine, nullptr, 0, nullptr);
        if (routine == spin) {
            ASSERT_TRUE(wait_until([] { return g_started.load(); }));
            TerminateThread(h, 0);
        }
        ASSERT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
        // Attach ran on the thread itself, before the routine; ExitThread
        // ended it where it was called.
        EXPECT_EQ(exit_code(h), routine == exit_from_nested_call ? 42u : 0u);
        CloseHandle(h);
    }
    EXPECT_EQ(g_attached.load(), 3);
    EXPECT_EQ(g_detached.load(), 2) << "no detach for a terminated thread";
    // Room for eight pairs, then a plain refusal; the layer's loader takes one.
    int more = 0;
    while (more < 16 && zkx::win32::register_thread_callbacks(on_attach, on_detach)) ++more;
    EXPECT_EQ(more, 6);
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
    for (int i = 0; i < 2000; ++i, Sleep(5)) {
        const std::string text = read_file(stat);
        size_t end = text.rfind(") ");
        if (end == std::string::npos || text[end + 2] == 'Z') return;
    }
}

std::string g_how;

// Ends with 5 at once for main to wait for, else with 9 once main has ended.
DWORD WINAPI end_later(LPVOID) {
    if (g_how == "main-after-worker") return 5;
    wait_for_main_to_end();
    if (g_how == "worker-returns") return 9;
    ExitThread(9);
}

// args[0] says who ends last and how; main always leaves with ExitThread.
ZKX_CHILD(end_threads) {
    g_how = args.at(0);
    if (g_how == "main-alone") ExitThread(42);
    HANDLE t = CreateThread(nullptr, 0, end_later, nullptr, 0, nullptr);
    if (g_how == "main-after-worker") WaitForSingleObject(t, INFINITE);
    ExitThread(t ? 43 : 1);
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
    const char* asan = getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":detect_leaks=0").c_str(), 1);
    EXPECT_EQ(wait_child(spawn_child("end_threads", {"main-alone"})), 42);
#ifndef ZKX_TSAN
    // ThreadSanitizer starts a thread of its own with the first thread the
    // program starts, and that thread never ends: no program thread is last.
    const std::pair<const char*, int> cases[] = {{"main-after-worker", 43}, {"worker-returns", 9}, {"worker-exits", 9}};
    for (const auto& [how, code] : cases) EXPECT_EQ(wait_child(spawn_child("end_threads", {how})), code) << how;
#endif
}
#endif
