// The poll threads: a worker record's one-slot channel, the worker thread
// on a bare record driven through that channel, and the manager, over
// workers whose scripted callback records its calls.
#include <algorithm>

#include "ZKPollPriv.h"
#include "dlog_test_util.h"
#include "misc_test_util.h"

namespace {

using namespace zkx::test;

std::mutex g_poll_lock;
std::vector<HANDLE> g_threads;

// What a worker's callback answers and the calls it has seen, found through
// adwUser[0] and [1]; adwUser[2] makes test_starter begin the worker that
// many ms late.
class PollScript {
public:
    ~PollScript() { release(); }
    ZKPOLL_THDATA def(DWORD id, DWORD interval, DWORD late_ms = 0) const {
        const uint64_t self = reinterpret_cast<uintptr_t>(this);
        return ZKPOLL_THDATA{&PollScript::callback, interval, id, {DWORD(self), DWORD(self >> 32), late_ms}};
    }
    void answer(DWORD event, DWORD result, DWORD action = 0) {
        std::lock_guard<std::mutex> guard(lock_);
        answers_[event] = {result, action};
    }
    // Calls with this event spin, holding no lock, until release().
    void hold(DWORD event) { released_ = false, held_ = event; }
    void release() { released_ = true; }
    bool wait_holding() const { return wait_until([this] { return holding_.load(); }); }

    std::vector<DWORD> events() const {
        std::lock_guard<std::mutex> guard(lock_);
        return events_;
    }
    int count(DWORD event) const {
        auto all = events();
        return int(std::count(all.begin(), all.end(), event));
    }
    bool wait_count(DWORD event, int n, int timeout_ms = 10000) const {
        return wait_until([&] { return count(event) >= n; }, timeout_ms);
    }

    static DWORD ZKAPI callback(PZKPOLL_THREAD, DWORD, DWORD event, LPDWORD user, LPDWORD, LPDWORD action,
                                DWORD) {
        auto* s = reinterpret_cast<PollScript*>(uintptr_t(user[0] | uint64_t(user[1]) << 32));
        std::pair<DWORD, DWORD> reply{0, 0};
        {
            std::lock_guard<std::mutex> guard(s->lock_);
            s->events_.push_back(event);
            if (s->answers_.count(event)) reply = s->answers_[event];
        }
        // No lock is held while holding: a terminated worker leaves none behind.
        if (s->held_ == event) {
            s->holding_ = true;
            while (!s->released_) Sleep(2);
            s->holding_ = false;
        }
        *action = reply.second;
        return reply.first;
    }

private:
    mutable std::mutex lock_;
    std::vector<DWORD> events_;
    std::map<DWORD, std::pair<DWORD, DWORD>> answers_;
    std::atomic<DWORD> held_{0};
    std::atomic<bool> released_{false}, holding_{false};
};

DWORD ZKAPI start_late(LPVOID th) {
    Sleep(static_cast<PZKPOLL_THREAD>(th)->thData.adwUser[2]);
    return thPoll(th);
}

// Starts the manager's workers (always thPoll) and keeps their handles.
DWORD ZKAPI test_starter(PZKPOLL_HANDLE, DWORD, DWORD, LPTHREAD_START_ROUTINE fn, LPVOID arg, LPDWORD user,
                         PHANDLE thread) {
    HANDLE h = CreateThread(nullptr, 0, user && user[2] ? start_late : fn, arg, 0, nullptr);
    if (!h) return GetLastError();
    *thread = h;
    std::lock_guard<std::mutex> guard(g_poll_lock);
    g_threads.push_back(h);
    return 0;
}

std::vector<HANDLE> started_threads() {  // oldest first
    std::lock_guard<std::mutex> guard(g_poll_lock);
    return g_threads;
}

// Whether every started thread ends in time; closes them all.
bool end_started_threads() {
    bool ended = true;
    for (HANDLE h : started_threads()) ended = WaitForSingleObject(h, 10000) == WAIT_OBJECT_0 && ended;
    std::lock_guard<std::mutex> guard(g_poll_lock);
    for (HANDLE h : g_threads) CloseHandle(h);
    g_threads.clear();
    return ended;
}

// STILL_ACTIVE when the thread has not ended within 10 s.
DWORD exit_code_of(HANDLE thread) {
    WaitForSingleObject(thread, 10000);
    DWORD code = 12345;
    GetExitCodeThread(thread, &code);
    return code;
}

struct TraceCapture : CapturedLog {
    TraceCapture() : CapturedLog("ZKMisc", ZKDLOG_LO) { g_hZKMiscLog = handle(); }
    ~TraceCapture() { g_hZKMiscLog = nullptr; }
};

// A record's words as the manager reads them while its worker runs.
DWORD status_of(PZKPOLL_THREAD pTh) { return zkpoll_load(&pTh->dwStatus); }
DWORD state_of(PZKPOLL_THREAD pTh) { return zkpoll_load(&pTh->dwState); }

class PollWorker : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(add_new_th(nullptr, nullptr, &def, &th), 0u); }
    void TearDown() override {
        script.release();
        stop();
        del_th(nullptr, th);
    }

    // Starts a worker on a fresh record; returns its INIT reply.
    ZKPOLL_MSG start(DWORD interval) {
        del_th(nullptr, th);
        def = script.def(1, interval);
        SetUp();
        test_starter(nullptr, 0, 0, thPoll, th, nullptr, &thread);
        return next_reply();
    }

    // Ends a running worker by a TERMINATE that no outstanding command keeps out.
    void stop() {
        if (thread && (status_of(th) & ZKPOLL_ST_ALIVE)) {
            zkpoll_store(&th->msgLast.dwCode, 0);
            push_cmd(th, 0, ZKPOLL_TERMINATE, 0, 0);
        }
        EXPECT_TRUE(end_started_threads());
        thread = nullptr;
    }

    // The next reply, or dwCode 0 when none comes in time.
    ZKPOLL_MSG next_reply() {
        ZKPOLL_MSG msg{};
        wait_until([&] { return pop_reply(th, &msg) == 0 && msg.dwCode != 0; });
        return msg;
    }

    void command(DWORD code, DWORD seq, DWORD result = 0) {
        ASSERT_EQ(push_cmd(th, seq, code, 0, 0), 0u);
        expect_reply(code, code == ZKPOLL_TERMINATE ? 0 : seq, result);
    }
    void expect_reply(DWORD code, DWORD seq, DWORD result) {
        ZKPOLL_MSG r = next_reply();
        EXPECT_EQ(std::make_tuple(r.dwCode, r.dwSeq, r.dwData1), std::make_tuple(code, seq, result))
            << "code, sequence, result";
    }

    bool asleep() { return wait_until([&] { return state_of(th) == ZKPOLL_STATE_SLEEP; }); }

    TraceCapture trace;
    PollScript script;
    ZKPOLL_THDATA def = script.def(1, 1000);
    PZKPOLL_THREAD th = nullptr;
    HANDLE thread = nullptr;
};

// The channel alone: no worker runs.
using PollChannel = PollWorker;

TEST_F(PollChannel, OneCommandAndOneReplyAtATime) {
    DWORD junk[16] = {0x12345678};
    BOOL stop = TRUE;
    for (PZKPOLL_THREAD bad : {reinterpret_cast<PZKPOLL_THREAD>(junk), PZKPOLL_THREAD(nullptr)})
        EXPECT_EQ(ZKPollCheckEvent(bad, 0, nullptr, &stop), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(ZKPollCheckEvent(th, 0, nullptr, nullptr), DWORD(ERROR_INVALID_PARAMETER));
    ASSERT_EQ(push_cmd(th, 7, ZKPOLL_POLL, 0, 0), 0u);
    DWORD waiting = 0;
    EXPECT_EQ(ZKPollCheckEvent(th, 0, &waiting, &stop), 0u);
    EXPECT_TRUE(waiting == ZKPOLL_POLL && !stop);
    ZKPOLL_MSG msg{};
    ASSERT_EQ(pop_cmd(th, &msg), 0u);
    // Taken, not answered: still busy, and the first push stands.
    EXPECT_EQ(push_cmd(th, 8, ZKPOLL_SUSPEND, 0, 0), DWORD(ERROR_TOO_MANY_CMDS));
    ASSERT_EQ(put_reply(th, 7, ZKPOLL_POLL, 0, 0), 0u);
    expect_reply(ZKPOLL_POLL, 7, 0);
    EXPECT_EQ(push_cmd(th, 8, ZKPOLL_SUSPEND, 0, 0), 0u);
    EXPECT_TRUE(ZKPollCheckEvent(th, 0, nullptr, &stop) == 0 && stop);

    // A reply waits for the outbox to be emptied, but not beyond its limit.
    ASSERT_EQ(put_reply(th, 1, ZKPOLL_POLL, 0, 0), 0u);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(put_reply(th, 2, ZKPOLL_RESUME, 0, 0), DWORD(ERROR_SEM_TIMEOUT));
    EXPECT_TRUE(elapsed_ms(start) >= 200 && elapsed_ms(start) < 3000);
    EXPECT_EQ(th->msgOut.dwSeq, 1u);  // the old reply stays
}

TEST_F(PollWorker, ExitAskedForInInitOrSuspendEndsTheWorkerWithoutFailure) {
    script.answer(ZKPOLL_INIT, 0, ZKPOLL_ACT_EXIT);
    EXPECT_EQ(start(1000).dwData1, 0u);
    EXPECT_EQ(exit_code_of(thread), 0u);
    EXPECT_EQ(status_of(th), 0u);  // neither alive nor failed
    EXPECT_EQ(script.events(), (std::vector<DWORD>{ZKPOLL_INIT, ZKPOLL_TERMINATE}));
    stop();

    script.answer(ZKPOLL_INIT, 0);
    script.answer(ZKPOLL_SUSPEND, 0, ZKPOLL_ACT_EXIT);
    start(1000);
    command(ZKPOLL_SUSPEND, 4, ERROR_CANCELLED);
    expect_reply(ZKPOLL_TERMINATE, 0, 0);
    EXPECT_EQ(script.count(ZKPOLL_TERMINATE), 2);
}

TEST_F(PollWorker, SuspendsUntilACommandComesAndTerminatesFromSuspension) {
    script.hold(ZKPOLL_POLL);
    start(50);
    ASSERT_TRUE(script.wait_holding());
    // Pushed while the worker is busy, so its wake-up is still pending when
    // the worker suspends; that alone must not end the suspension.
    ASSERT_EQ(push_cmd(th, 1, ZKPOLL_SUSPEND, 0, 0), 0u);
    script.release();
    expect_reply(ZKPOLL_SUSPEND, 1, 0);
    EXPECT_EQ(status_of(th), ZKPOLL_ST_ALIVE | ZKPOLL_ST_SUSPENDED);
    int polls = script.count(ZKPOLL_POLL);
    Sleep(250);
    EXPECT_EQ(script.count(ZKPOLL_POLL), polls);

    command(ZKPOLL_RESUME, 2);
    EXPECT_EQ(script.count(ZKPOLL_RESUME), 1);  // made before the reply
    EXPECT_TRUE(script.wait_count(ZKPOLL_POLL, polls + 1));

    command(ZKPOLL_SUSPEND, 3);
    command(ZKPOLL_TERMINATE, 4);
    EXPECT_EQ(exit_code_of(thread), 0u);
    auto ev = script.events();
    EXPECT_EQ(std::vector<DWORD>(ev.end() - 2, ev.end()), (std::vector<DWORD>{ZKPOLL_RESUME, ZKPOLL_TERMINATE}));
}

// On command only (how long an interval lasts is the manager cases' part):
// the first poll does not wait for an interval, a POLL command is answered
// while its call runs, an unknown one is answered and does nothing else.
TEST_F(PollWorker, OnCommandPollsAtOnceAnswersBeforeCallsAndMissesNoWakeUp) {
    std::atomic<int> armed{0};
    CapturedLog::hook = [&](const std::string& line) {
        if (line.find(" - sleep") == std::string::npos || armed <= 0) return;
        ZKPOLL_MSG reply;
        pop_reply(th, &reply);  // the previous command's
        if (push_cmd(th, DWORD(armed), ZKPOLL_POLL, 0, 0) == 0) armed--;
    };
    start(INFINITE);
    ASSERT_TRUE(script.wait_count(ZKPOLL_POLL, 1) && asleep());
    script.hold(ZKPOLL_POLL);
    command(ZKPOLL_POLL, 9);
    ASSERT_TRUE(script.wait_holding());
    script.release();
    ASSERT_TRUE(asleep());
    command(0x40, 10, ERROR_INVALID_PARAMETER);
    Sleep(300);
    EXPECT_EQ(script.count(ZKPOLL_POLL), 2);

    // The worker's last look into its inbox comes before its " - sleep"
    // trace, and its wait without limit after it.  Commands pushed from
    // inside that trace must not be lost.
    armed = 3;
    ASSERT_EQ(push_cmd(th, 11, ZKPOLL_POLL, 0, 0), 0u);  // sets the chain off
    EXPECT_TRUE(script.wait_count(ZKPOLL_POLL, 6, 3000)) << "a command was not taken";
    expect_reply(ZKPOLL_POLL, 1, 0);
}

class PollManager : public ::testing::Test {
protected:
    void SetUp() override { g_zkPollTiming = {1, 1, 1, 1, 200}; }  // many short rounds
    void TearDown() override {
        for (PollScript* s : {&a, &b, &c}) s->release();
        EXPECT_TRUE(!h || ZKPollDestroy(h, 0, INFINITE) == 0);
        EXPECT_EQ(trace.handle()->nIndent, 0);
        EXPECT_TRUE(end_started_threads());
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

TEST_F(PollManager, BadArgumentsAndStaleHandlesAreRefused) {
    ZKPOLL_THDATA def = a.def(1, 100);
    ZKPOLL_PARAM param{1, &def, test_starter};
    EXPECT_EQ(ZKPollCreate(&param, nullptr, 0), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ZKPollCreate(nullptr, &h, 0), DWORD(ERROR_INVALID_PARAMETER));
    h = reinterpret_cast<PZKPOLL_HANDLE>(1);
    EXPECT_EQ(create({def, b.def(2, 0)}), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(create({def}, nullptr), DWORD(ERROR_INVALID_PARAMETER));

    ASSERT_EQ(create({}), 0u);
    EXPECT_EQ(ZKPollWaitLastCommand(h, 0, 0, 0), 0u);  // nothing outstanding
    ASSERT_EQ(ZKPollDestroy(h, 0, INFINITE), 0u);

    // A destroyed handle, one that merely looks like a live one, and null.
    struct _ZKPOLL_HANDLE lookalike {};
    lookalike.dwMagic = 0x506F6C4D;
    for (PZKPOLL_HANDLE bad : {h, &lookalike, PZKPOLL_HANDLE(nullptr)}) {
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

// A thread starter that fails to start worker #3 (a lambda cannot have the
// starter's standard calling convention on 32-bit Windows).
DWORD ZKAPI third_start_fails(PZKPOLL_HANDLE hp, DWORD id, DWORD r, LPTHREAD_START_ROUTINE fn, LPVOID arg,
                              LPDWORD user, PHANDLE ph) {
    return id == 3 ? DWORD(ERROR_NO_SYSTEM_RESOURCES) : test_starter(hp, id, r, fn, arg, user, ph);
}

// A failed INIT, or a failed start of worker #3, stops every worker started
// before it, also those not running yet.
TEST_F(PollManager, FailedCreateStopsTheWorkersStartedBeforeTheFailure) {
    b.answer(ZKPOLL_INIT, 5);
    h = reinterpret_cast<PZKPOLL_HANDLE>(1);
    EXPECT_EQ(create({a.def(1, 1000), b.def(2, 1000), c.def(3, 1000, 100)}), 5u);
    EXPECT_EQ(h, nullptr);
    for (PollScript* s : {&a, &b, &c}) EXPECT_EQ(s->count(ZKPOLL_TERMINATE), 1);
    EXPECT_EQ(exit_code_of(started_threads()[1]), 5u);
    ASSERT_TRUE(end_started_threads());

    EXPECT_EQ(create({a.def(1, 1000, 100), c.def(2, 1000, 100), b.def(3, 1000)}, third_start_fails),
              DWORD(ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_EQ(started_threads().size(), 2u);
    EXPECT_EQ(a.count(ZKPOLL_TERMINATE) + c.count(ZKPOLL_TERMINATE), 4);
    EXPECT_EQ(b.count(ZKPOLL_INIT), 1) << "worker #3 never ran";
}

TEST_F(PollManager, BroadcastsAreNumberedSkippingZero) {
    ASSERT_EQ(create({a.def(1, INFINITE), b.def(2, INFINITE)}), 0u);
    DWORD first = 0, second = 0, wrapped = 0;
    EXPECT_EQ(ZKPollControlAll(h, 0, ZKPOLL_POLL, 0, &first, INFINITE), 0u);
    EXPECT_EQ(ZKPollControlAll(h, 0, ZKPOLL_POLL, 0, &second, INFINITE), 0u);
    EXPECT_EQ(second, first + 1);
    h->dwSeq = 0xFFFFFFFF;
    EXPECT_EQ(ZKPollControlAll(h, 0, 0x40, 0, &wrapped, INFINITE), 0u);  // answered with ERROR_INVALID_PARAMETER
    EXPECT_EQ(wrapped, 1u);
}

// One worker is stuck in its TERMINATE, the other in a poll, so that the
// TERMINATE does not even reach it.
TEST_F(PollManager, DestroyThatRunsOutOfTimeLeavesAHandleThatKillAllStops) {
    a.hold(ZKPOLL_TERMINATE);
    b.hold(ZKPOLL_POLL);
    ASSERT_EQ(create({a.def(1, 1000), b.def(2, 1000)}), 0u);
    ASSERT_TRUE(b.wait_holding());
    EXPECT_EQ(ZKPollDestroy(h, 0, 100), DWORD(ERROR_IO_INCOMPLETE));
    ASSERT_TRUE(a.wait_holding());
    EXPECT_EQ(ZKPollKillAll(h, 0), 0u);
    for (HANDLE t : started_threads()) EXPECT_EQ(exit_code_of(t), DWORD(ERROR_PROCESS_ABORTED));
    EXPECT_EQ(ZKPollDestroy(h, 0, 1000), 0u);
    h = nullptr;
}

// Of two workers with one id, the first made is served first; of both
// suspended, only the removed one is resumed to terminate.
TEST_F(PollSingle, EqualIdsAreServedInCreationOrderAndRemovalResumesASuspendedWorker) {
    ZKPOLL_THDATA second = b.def(4, 1000);
    second.adwUser[7] = 22;
    ASSERT_EQ(create({a.def(4, 1000), second}), 0u);
    ZKPOLL_THDATA got{};
    got.dwId = 4;
    ASSERT_EQ(ZKPollGetThData(h, 0, 0, &got), 0u);
    EXPECT_EQ(got.adwUser[7], 0u);  // the first one's
    ASSERT_EQ(ZKPollControlAll(h, 0, ZKPOLL_SUSPEND, 0, nullptr, INFINITE), 0u);
    ASSERT_EQ(ZKPollDelThread(h, 0, 4), 0u);
    EXPECT_EQ(a.count(ZKPOLL_TERMINATE), 1);
    EXPECT_EQ(b.count(ZKPOLL_RESUME) + b.count(ZKPOLL_TERMINATE), 0);  // the other stays suspended
    ASSERT_EQ(ZKPollGetThData(h, 0, 0, &got), 0u);
    EXPECT_EQ(got.adwUser[7], 22u);  // all eleven words of the second
    ASSERT_EQ(ZKPollDelThread(h, 0, 4), 0u);
    EXPECT_EQ(ZKPollDelThread(h, 0, 4), DWORD(ERROR_BAD_THREADID_ADDR));
}

// A broadcast that timed out stays outstanding, but its command still
// unanswered must not keep the TERMINATE out.
TEST_F(PollSingle, RemovingAWorkerDropsTheCommandItHasNotAnswered) {
    a.hold(ZKPOLL_POLL);  // the first poll after INIT does not return
    ASSERT_EQ(create({a.def(1, 1000), b.def(2, 1000)}), 0u);
    ASSERT_TRUE(a.wait_holding());
    EXPECT_EQ(ZKPollControlAll(h, 0, ZKPOLL_SUSPEND, 0, nullptr, 0), DWORD(ERROR_IO_INCOMPLETE));
    EXPECT_EQ(ZKPollControlAll(h, 0, ZKPOLL_RESUME, 0, nullptr, 50), DWORD(ERROR_TOO_MANY_CMDS));
    a.release();
    EXPECT_EQ(ZKPollDelThread(h, 0, 1), 0u);
    EXPECT_EQ(a.count(ZKPOLL_TERMINATE), 1);
    EXPECT_EQ(h->dwThreads, 1u);
}

TEST_F(PollSingle, NewDefinitionTakesEffectAtTheNextSleep) {
    ASSERT_EQ(create({a.def(1, 3000)}), 0u);
    ASSERT_TRUE(a.wait_count(ZKPOLL_POLL, 1));
    // Changed before the worker reads its interval, the definition would
    // already shorten this sleep: a loaded machine can delay that read.
    ASSERT_TRUE(wait_until([&] { return state_of(h->pFirst) == ZKPOLL_STATE_SLEEP; }));
    ZKPOLL_THDATA def = a.def(1, 0);
    EXPECT_EQ(ZKPollSetThData(h, 0, 0, &def), DWORD(ERROR_INVALID_PARAMETER));
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

// An added worker whose INIT fails is removed; one that ended by itself
// stays until destroy.
TEST_F(PollSingle, AddedWorkerRunsOrIsRemovedWhenItsInitFails) {
    ASSERT_EQ(create({}), 0u);
    ZKPOLL_THDATA def = a.def(1, 0);
    EXPECT_EQ(ZKPollAddThread(h, 0, &def, 0), DWORD(ERROR_INVALID_PARAMETER));
    a.answer(ZKPOLL_POLL, 9);  // its first poll fails
    def.dwInterval = 1000;
    ASSERT_EQ(ZKPollAddThread(h, 0, &def, 0), 0u);
    ASSERT_EQ(WaitForSingleObject(started_threads()[0], 5000), WAIT_OBJECT_0);

    b.answer(ZKPOLL_INIT, 7);
    def = b.def(2, 1000);
    EXPECT_EQ(ZKPollAddThread(h, 0, &def, 0), 7u);
    EXPECT_EQ(b.count(ZKPOLL_TERMINATE), 1);
    EXPECT_EQ(ZKPollGetThData(h, 0, 0, &def), DWORD(ERROR_INVALID_THREAD_ID));
    EXPECT_EQ(ZKPollDelThread(h, 0, 1), DWORD(ERROR_BAD_THREADID_ADDR));
    EXPECT_EQ(h->dwThreads, 1u);
    EXPECT_EQ(ZKPollControlAll(h, 0, ZKPOLL_POLL, 0, nullptr, INFINITE), 0u);  // passed by
}

// A broadcast's timeout, measured from just before the tick count wraps.
ZKX_CHILD(poll_wait_across_wrap) {
    g_zkPollTiming = {1, 1, 1, 1, 200};
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
    held.release();
    ZKPollDestroy(hp, 0, INFINITE);
    return rc != ERROR_IO_INCOMPLETE ? 2 : took < 380 || took > 5000 ? 3 : GetTickCount() < before ? 0 : 4;
}

TEST(PollManagerTicks, TimeoutsHoldAcrossTheTickWrap) {
    EXPECT_EQ(run_child_with("ZKX_TICK_START", "4294967000", "poll_wait_across_wrap"), 0);  // 0xFFFFFFFF - 295
}

// The fixture sees every thread end; what could stay behind is a handle.
using PollStress = PollManager;

TEST_F(PollStress, ManyLifetimesLeaveNoThreadOrHandleBehind) {
    // Counted after the first lifetime, which also brings up what the
    // platform and the sanitizers start once per process.
    size_t handles = 0;
    const DWORD intervals[] = {1, 3, 10, INFINITE};
    for (int round = 0; round < 200; round++) {
        if (round == 1) handles = open_handles();
        std::vector<ZKPOLL_THDATA> defs;
        for (DWORD i = 0; i < 8; i++) defs.push_back(a.def(i + 1, intervals[(i + round) % 4]));
        ASSERT_EQ(create(defs), 0u);
        for (DWORD cmd : {ZKPOLL_SUSPEND, ZKPOLL_RESUME})
            ASSERT_EQ(ZKPollControlAll(h, 0, cmd, 0, nullptr, 10000), 0u);
        ZKPOLL_THDATA extra = a.def(100, intervals[round % 4]);
        ASSERT_EQ(ZKPollAddThread(h, 0, &extra, 0), 0u);
        // Broadcast without waiting, then remove a worker while it is out.
        ZKPollControlAll(h, 0, round % 2 ? ZKPOLL_SUSPEND : ZKPOLL_POLL, 0, nullptr, 0);
        ASSERT_EQ(ZKPollDelThread(h, 0, 1 + round % 8), 0u);
        ASSERT_EQ(h->dwThreads, 8u) << round;
        ASSERT_EQ(ZKPollDestroy(h, 0, 10000), 0u);
        h = nullptr;
        ASSERT_TRUE(end_started_threads());
    }
    EXPECT_EQ(open_handles(), handles);
}

}  // namespace
