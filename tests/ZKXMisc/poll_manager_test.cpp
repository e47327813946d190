// The poll manager: create, broadcasts and their waits, kill and destroy,
// the operations on one worker found by its id, and many lifetimes in a row
// that must leave no thread or handle behind.
#include <filesystem>

#include "misc_test_util.h"
#include "poll_test_util.h"
#ifdef _WIN32
#include <tlhelp32.h>
#else
#include "base/handle_table.h"
#endif

namespace {

using namespace zkx::test;

// A poll handle over scripted workers, run with short rounds; after each
// test it is destroyed, the log's indentation must be back at 0 and every
// started thread must have ended.
class PollManager : public ::testing::Test {
protected:
    void SetUp() override { use_fast_rounds(); }
    void TearDown() override {
        for (PollScript* s : {&a, &b, &c}) s->release();
        EXPECT_TRUE(!h || ZKPollDestroy(h, 0, INFINITE) == 0);
        EXPECT_EQ(trace.handle()->nIndent, 0);
        EXPECT_TRUE(started_threads_ended());
        close_started_threads();
    }
    DWORD create(std::vector<ZKPOLL_THDATA> defs, PFN_ZKPOLL_START_THREAD starter = test_starter) {
        ZKPOLL_THDATA none{};  // the array must exist even when it is empty
        ZKPOLL_PARAM param{DWORD(defs.size()), defs.empty() ? &none : defs.data(), starter};
        return ZKPollCreate(&param, &h, 0);
    }

    TraceCapture trace;
    PollScript a, b, c;
    PZKPOLL_HANDLE h = nullptr;
};

using PollSingle = PollManager;

TEST_F(PollManager, BadArgumentsAndStaleHandlesAreRefusedWithoutTrace) {
    ZKPOLL_THDATA defs[] = {a.def(1, 100), b.def(2, 0)};
    ZKPOLL_PARAM param{2, defs, test_starter};
    EXPECT_EQ(ZKPollCreate(&param, nullptr, 0), DWORD(ERROR_INVALID_PARAMETER));
    h = reinterpret_cast<PZKPOLL_HANDLE>(1);
    EXPECT_EQ(ZKPollCreate(nullptr, &h, 0), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(h, nullptr);
    h = reinterpret_cast<PZKPOLL_HANDLE>(1);
    EXPECT_EQ(ZKPollCreate(&param, &h, 0), DWORD(ERROR_INVALID_PARAMETER));  // interval 0
    EXPECT_EQ(h, nullptr);
    param.pfnStartThread = nullptr;
    EXPECT_EQ(ZKPollCreate(&param, &h, 0), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(trace.file_lines().empty());

    ASSERT_EQ(create({}), 0u);
    EXPECT_EQ(ZKPollWaitLastCommand(h, 0, 0, 0), 0u);  // nothing outstanding: no trace
    EXPECT_EQ(trace.count("ZKPollWaitLastCommand"), 0);
    ASSERT_EQ(ZKPollDestroy(h, 0, INFINITE), 0u);

    // A destroyed handle, one that merely looks like a handle, a record of
    // another kind, and null.
    struct _ZKPOLL_HANDLE lookalike {}, foreign {};
    lookalike.dwMagic = 0x506F6C4D;
    foreign.dwMagic = 0x12345678;
    ZKPOLL_THDATA def = a.def(1, 100);
    for (PZKPOLL_HANDLE bad : {h, &lookalike, &foreign, PZKPOLL_HANDLE(nullptr)}) {
        EXPECT_EQ(ZKPollDestroy(bad, 0, 0), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_EQ(ZKPollKillAll(bad, 0), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_EQ(ZKPollControlAll(bad, 0, ZKPOLL_POLL, 0, nullptr, 0), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_EQ(ZKPollWaitLastCommand(bad, 0, 0, 0), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_EQ(ZKPollGetThData(bad, 0, 0, &def), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_EQ(ZKPollSetThData(bad, 0, 0, &def), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_EQ(ZKPollAddThread(bad, 0, &def, 0), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_EQ(ZKPollDelThread(bad, 0, 1), DWORD(ERROR_INVALID_HANDLE));
    }
    h = nullptr;
}

TEST_F(PollManager, OneFailedInitTearsEverythingDown) {
    b.answer(ZKPOLL_INIT, 5);
    h = reinterpret_cast<PZKPOLL_HANDLE>(1);
    // The third worker is not running yet when the failure is known.
    EXPECT_EQ(create({a.def(1, 1000), b.def(2, 1000), c.def(3, 1000, 100)}), 5u);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(trace.count("thread #2 init error (5)"), 1);
    EXPECT_TRUE(started_threads_ended());
    for (PollScript* s : {&a, &b, &c}) EXPECT_EQ(s->count(ZKPOLL_TERMINATE), 1);
    EXPECT_EQ(exit_code_of(started_threads()[1]), 5u);
}

int g_starts;

// A thread starter whose third start fails (a lambda cannot have the
// starter's standard calling convention on 32-bit Windows).
DWORD ZKAPI third_start_fails(PZKPOLL_HANDLE hp, DWORD id, DWORD r, LPTHREAD_START_ROUTINE fn, LPVOID arg,
                              LPDWORD user, PHANDLE ph) {
    return ++g_starts == 3 ? DWORD(ERROR_NO_SYSTEM_RESOURCES) : test_starter(hp, id, r, fn, arg, user, ph);
}

TEST_F(PollManager, FailedStarterStopsTheWorkersStartedBeforeIt) {
    g_starts = 0;
    // The two started workers are still starting when the third fails.
    EXPECT_EQ(create({a.def(1, 1000, 100), b.def(2, 1000, 100), c.def(3, 1000)}, third_start_fails),
              DWORD(ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(trace.count("failed to create thread #3 (1450)"), 1);
    EXPECT_EQ(started_threads().size(), 2u);
    EXPECT_TRUE(started_threads_ended());
    EXPECT_EQ(a.count(ZKPOLL_TERMINATE) + b.count(ZKPOLL_TERMINATE), 2);
    EXPECT_TRUE(c.events().empty());
}

TEST_F(PollManager, BroadcastsAreNumberedSkippingZeroAndTracedInAFrame) {
    ASSERT_EQ(create({a.def(1, INFINITE), b.def(2, INFINITE)}), 0u);
    DWORD first = 0, second = 0, wrapped = 0;
    EXPECT_EQ(ZKPollControlAll(h, 0, ZKPOLL_POLL, 0, &first, INFINITE), 0u);
    EXPECT_EQ(ZKPollControlAll(h, 0, ZKPOLL_POLL, 0, &second, INFINITE), 0u);
    EXPECT_EQ(second, first + 1);
    EXPECT_TRUE(a.wait_count(ZKPOLL_POLL, 3) && b.wait_count(ZKPOLL_POLL, 3));
    h->dwSeq = 0xFFFFFFFF;
    EXPECT_EQ(ZKPollControlAll(h, 0, 0x40, 0, &wrapped, INFINITE), 0u);  // answered with ERROR_INVALID_PARAMETER
    EXPECT_EQ(wrapped, 1u);
    EXPECT_EQ(trace.count(" - unknwon cmd 00000040"), 2);

    auto line_with = [&](const std::string& text) {
        for (auto& l : trace.file_lines())
            if (l.find(text) != std::string::npos) return l;
        return std::string();
    };
    EXPECT_NE(line_with(" cmd=00000040 {\r\n").find("STA, ZKPollControlAll "), std::string::npos);
    EXPECT_NE(line_with("STA,   ZKPollWaitLastCommand "), "");
    EXPECT_NE(line_with("END,   } ZKPollWaitLastCommand (0)"), "");
    EXPECT_NE(line_with("END, } ZKPollControlAll (0)\r\n"), "");
}

TEST_F(PollManager, TimedOutBroadcastStaysOutstandingUntilAnswered) {
    a.hold(ZKPOLL_POLL);  // the first poll after INIT does not return
    ASSERT_EQ(create({a.def(1, 1000), b.def(2, 1000)}), 0u);
    ASSERT_TRUE(a.wait_holding());
    EXPECT_EQ(ZKPollControlAll(h, 0, ZKPOLL_SUSPEND, 0, nullptr, 0), DWORD(ERROR_IO_INCOMPLETE));
    EXPECT_EQ(ZKPollControlAll(h, 0, ZKPOLL_RESUME, 0, nullptr, 50), DWORD(ERROR_TOO_MANY_CMDS));
    EXPECT_EQ(trace.count("wait-last-command failed (56)"), 1);
    a.release();
    EXPECT_EQ(ZKPollWaitLastCommand(h, 0, 0, INFINITE), 0u);
    EXPECT_EQ(a.count(ZKPOLL_SUSPEND) + b.count(ZKPOLL_SUSPEND), 2);
}

TEST_F(PollManager, DestroyThatRunsOutOfTimeLeavesAUsableHandle) {
    a.hold(ZKPOLL_TERMINATE);
    ASSERT_EQ(create({a.def(1, 1000), b.def(2, 1000)}), 0u);
    EXPECT_EQ(ZKPollDestroy(h, 0, 100), DWORD(ERROR_IO_INCOMPLETE));
    EXPECT_EQ(trace.count("Control(TERMINATE) failed 100 (996)"), 1);
    a.release();
    EXPECT_EQ(ZKPollDestroy(h, 0, INFINITE), 0u);
    h = nullptr;
    EXPECT_EQ(a.count(ZKPOLL_TERMINATE), 1);
}

TEST_F(PollManager, KillAllStopsWorkersStuckInTheirCallback) {
    a.hold(ZKPOLL_POLL);
    b.hold(ZKPOLL_POLL);
    ASSERT_EQ(create({a.def(1, 1000), b.def(2, 1000)}), 0u);
    ASSERT_TRUE(a.wait_holding() && b.wait_holding());
    EXPECT_EQ(ZKPollKillAll(h, 0), 0u);
    for (HANDLE t : started_threads()) EXPECT_EQ(exit_code_of(t), DWORD(ERROR_PROCESS_ABORTED));
    EXPECT_EQ(ZKPollKillAll(h, 0), 0u);  // nobody left
    EXPECT_EQ(ZKPollDestroy(h, 0, 1000), 0u);
    h = nullptr;
    EXPECT_EQ(a.count(ZKPOLL_TERMINATE) + b.count(ZKPOLL_TERMINATE), 0);
}

TEST_F(PollSingle, EqualIdsAreServedInCreationOrder) {
    ZKPOLL_THDATA second = b.def(4, 1000);
    second.adwUser[7] = 22;
    ASSERT_EQ(create({a.def(4, 1000), second}), 0u);
    ZKPOLL_THDATA got{};
    got.dwId = 4;
    ASSERT_EQ(ZKPollGetThData(h, 0, 0, &got), 0u);
    EXPECT_EQ(got.adwUser[7], 0u);  // the first one's
    ASSERT_EQ(ZKPollDelThread(h, 0, 4), 0u);
    EXPECT_EQ(a.count(ZKPOLL_TERMINATE), 1);
    EXPECT_EQ(b.count(ZKPOLL_TERMINATE), 0);
    ASSERT_EQ(ZKPollGetThData(h, 0, 0, &got), 0u);
    EXPECT_EQ(got.adwUser[7], 22u);  // all eleven words of the second
    ASSERT_EQ(ZKPollDelThread(h, 0, 4), 0u);
    EXPECT_EQ(h->dwThreads, 0u);

    EXPECT_EQ(ZKPollDelThread(h, 0, 4), DWORD(ERROR_BAD_THREADID_ADDR));
    EXPECT_EQ(trace.count("bad id #4 (159)"), 1);
    EXPECT_EQ(ZKPollGetThData(h, 0, 0, &got), DWORD(ERROR_INVALID_THREAD_ID));
    EXPECT_EQ(got.adwUser[7], 22u);  // untouched
    EXPECT_EQ(trace.count("no thread id 00000004"), 1);
}

TEST_F(PollSingle, RemovingASuspendedWorkerResumesThenTerminatesIt) {
    ASSERT_EQ(create({a.def(1, 1000), b.def(2, 1000)}), 0u);
    ASSERT_EQ(ZKPollControlAll(h, 0, ZKPOLL_SUSPEND, 0, nullptr, INFINITE), 0u);
    for (PZKPOLL_THREAD th = h->pFirst; th; th = th->pNext)
        EXPECT_EQ(status_of(th), ZKPOLL_ST_ALIVE | ZKPOLL_ST_SUSPENDED);
    ASSERT_EQ(ZKPollDelThread(h, 0, 1), 0u);
    auto ev = a.events();
    EXPECT_EQ(std::vector<DWORD>(ev.end() - 3, ev.end()),
              (std::vector<DWORD>{ZKPOLL_SUSPEND, ZKPOLL_RESUME, ZKPOLL_TERMINATE}));
    EXPECT_EQ(h->dwThreads, 1u);
    EXPECT_EQ(b.count(ZKPOLL_RESUME), 0);  // the other stays suspended
}

TEST_F(PollSingle, WorkerThatEndedByItselfIsLeftForDestroy) {
    a.answer(ZKPOLL_POLL, 9);  // its first poll fails
    ASSERT_EQ(create({a.def(1, 1000), b.def(2, 1000)}), 0u);
    ASSERT_EQ(WaitForSingleObject(started_threads()[0], 5000), WAIT_OBJECT_0);
    EXPECT_EQ(ZKPollDelThread(h, 0, 1), DWORD(ERROR_BAD_THREADID_ADDR));
    EXPECT_EQ(trace.count("thread #1 was not arrive (159)"), 1);
    EXPECT_EQ(h->dwThreads, 2u);
    EXPECT_EQ(ZKPollControlAll(h, 0, ZKPOLL_POLL, 0, nullptr, INFINITE), 0u);  // passed by
}

TEST_F(PollSingle, NewDefinitionTakesEffectAtTheNextSleep) {
    ASSERT_EQ(create({a.def(1, 3000)}), 0u);
    ASSERT_TRUE(a.wait_count(ZKPOLL_POLL, 1));
    // Changed before the worker reads its interval, the definition would
    // already shorten this sleep: a loaded machine can delay that read.
    ASSERT_TRUE(wait_until([&] { return state_of(h->pFirst) == ZKPOLL_STATE_SLEEP; }));
    ZKPOLL_THDATA def = a.def(1, 0);
    EXPECT_EQ(ZKPollSetThData(h, 0, 0, &def), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(trace.count("ZKPollSetThData"), 0);
    def = a.def(77, 60);
    EXPECT_EQ(ZKPollSetThData(h, 0, 0, &def), DWORD(ERROR_INVALID_THREAD_ID));
    def.dwId = 1;
    ASSERT_EQ(ZKPollSetThData(h, 0, 0, &def), 0u);

    Sleep(400);  // the 3000 ms sleep goes on
    EXPECT_EQ(a.count(ZKPOLL_POLL), 1);
    // A command ends that sleep; the following ones last 60 ms.
    ASSERT_EQ(ZKPollControlAll(h, 0, ZKPOLL_POLL, 0, nullptr, INFINITE), 0u);
    EXPECT_TRUE(a.wait_count(ZKPOLL_POLL, 5, 2000));
}

TEST_F(PollSingle, AddedWorkerRunsOrIsRemovedWhenItsInitFails) {
    ASSERT_EQ(create({}), 0u);
    ZKPOLL_THDATA def = a.def(1, 0);
    EXPECT_EQ(ZKPollAddThread(h, 0, &def, 0), DWORD(ERROR_INVALID_PARAMETER));
    def.dwInterval = 1000;
    ASSERT_EQ(ZKPollAddThread(h, 0, &def, 0), 0u);
    EXPECT_TRUE(a.wait_count(ZKPOLL_POLL, 1));

    b.answer(ZKPOLL_INIT, 7);
    def = b.def(2, 1000);
    EXPECT_EQ(ZKPollAddThread(h, 0, &def, 0), 7u);
    EXPECT_EQ(trace.count("thread init error (7)"), 1);
    EXPECT_EQ(b.count(ZKPOLL_TERMINATE), 1);
    EXPECT_EQ(h->dwThreads, 1u);
    EXPECT_EQ(ZKPollGetThData(h, 0, 0, &def), DWORD(ERROR_INVALID_THREAD_ID));
}

// A broadcast's timeout, measured from just before the tick count wraps.
ZKX_CHILD(poll_wait_across_wrap) {
    use_fast_rounds();
    PollScript held;
    held.hold(ZKPOLL_POLL);
    ZKPOLL_THDATA def = held.def(1, 1000);
    ZKPOLL_PARAM param{1, &def, test_starter};
    PZKPOLL_HANDLE hp = nullptr;
    if (ZKPollCreate(&param, &hp, 0) != 0 || !held.wait_holding()) return 1;
    DWORD before = GetTickCount();
    auto start = std::chrono::steady_clock::now();
    DWORD rc = ZKPollControlAll(hp, 0, ZKPOLL_SUSPEND, 0, nullptr, 400);
    long took = elapsed_ms(start);
    bool wrapped = GetTickCount() < before;
    held.release();
    ZKPollDestroy(hp, 0, INFINITE);
    return rc != ERROR_IO_INCOMPLETE ? 2 : took < 380 || took > 5000 ? 3 : wrapped ? 0 : 4;
}

TEST(PollManagerTicks, TimeoutsHoldAcrossTheTickWrap) {
    EXPECT_EQ(run_child_with("ZKX_TICK_START", "4294967000", "poll_wait_across_wrap"), 0);  // 0xFFFFFFFF - 295
}

#ifdef _WIN32
size_t open_handles() {
    DWORD n = 0;
    GetProcessHandleCount(GetCurrentProcess(), &n);
    return n;
}

size_t running_threads() {
    size_t n = 0;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 t{};
    t.dwSize = sizeof t;
    for (BOOL more = Thread32First(snap, &t); more; more = Thread32Next(snap, &t))
        n += t.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snap);
    return n;
}
#else
size_t open_handles() {
    size_t n = 0;
    zkx::win32::handle_for_each(
        [](HANDLE, const zkx::win32::HandleEntry&, void* ctx) { ++*static_cast<size_t*>(ctx); }, &n);
    return n;
}

size_t running_threads() {
    return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}));
}
#endif

TEST(PollStress, ManyLifetimesLeaveNoThreadOrHandleBehind) {
    use_fast_rounds();
    PollScript script;
    // Counted after the first lifetime, which also brings up what the
    // platform and the sanitizers start once per process.
    size_t handles = 0, threads = 0;
    const DWORD intervals[] = {1, 3, 10, INFINITE};
    auto start = std::chrono::steady_clock::now();

    for (int round = 0; round < 200; round++) {
        SCOPED_TRACE(round);
        if (round == 1) {
            handles = open_handles();
            threads = running_threads();
        }
        std::vector<ZKPOLL_THDATA> defs;
        for (DWORD i = 0; i < 8; i++) defs.push_back(script.def(i + 1, intervals[(i + round) % 4]));
        ZKPOLL_PARAM param{8, defs.data(), test_starter};
        PZKPOLL_HANDLE h = nullptr;
        ASSERT_EQ(ZKPollCreate(&param, &h, 0), 0u);
        for (DWORD cmd : {ZKPOLL_POLL, ZKPOLL_SUSPEND, ZKPOLL_RESUME, ZKPOLL_POLL})
            ASSERT_EQ(ZKPollControlAll(h, 0, cmd, 0, nullptr, 10000), 0u);
        ZKPOLL_THDATA extra = script.def(100, intervals[round % 4]);
        ASSERT_EQ(ZKPollAddThread(h, 0, &extra, 0), 0u);
        // Broadcast without waiting, then remove workers while it is out.
        ZKPollControlAll(h, 0, round % 2 ? ZKPOLL_SUSPEND : ZKPOLL_POLL, 0, nullptr, 0);
        ASSERT_EQ(ZKPollDelThread(h, 0, 1 + round % 8), 0u);
        ASSERT_EQ(ZKPollDelThread(h, 0, 100), 0u);
        ASSERT_EQ(h->dwThreads, 7u);
        ASSERT_EQ(ZKPollDestroy(h, 0, 10000), 0u);
        ASSERT_TRUE(started_threads_ended());
        close_started_threads();
    }
    EXPECT_EQ(open_handles(), handles);
    // A worker's handle is signalled on its way out; the kernel may list the
    // thread a moment longer on a loaded machine.
    for (int i = 0; i < 500 && running_threads() != threads; ++i) Sleep(10);
    EXPECT_EQ(running_threads(), threads);
    std::printf("200 lifetimes in %ld ms\n", elapsed_ms(start));
}

}  // namespace
