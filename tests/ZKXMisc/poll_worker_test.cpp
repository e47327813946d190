// The worker thread on a bare record, driven through its channel.
#include <gtest/gtest.h>

#include "poll_test_util.h"

namespace {

using namespace zkx::test;

class PollWorker : public ::testing::Test {
protected:
    void TearDown() override {
        script.release();
        if (thread) {
            if (th && is_alive()) {
                zkpoll_store(&th->msgLast.dwCode, 0);
                push_cmd(th, 0, ZKPOLL_TERMINATE, 0, 0);
            }
            EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
        }
        close_started_threads();
        del_th(nullptr, th);
    }

    // Starts the worker and collects its INIT reply.
    ZKPOLL_MSG start(DWORD interval) {
        def = script.def(1, interval);
        EXPECT_EQ(add_new_th(nullptr, nullptr, &def, &th), 0u);
        thread = run_worker(th);
        return next_reply(th);
    }

    // Pushes a command and collects its reply.
    ZKPOLL_MSG command(DWORD code, DWORD seq) {
        EXPECT_EQ(push_cmd(th, seq, code, 0, 0), 0u);
        return next_reply(th);
    }

    bool is_alive() const { return (status_of(th) & ZKPOLL_ST_ALIVE) != 0; }

    DWORD exit_code() {
        EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
        DWORD code = 12345;
        GetExitCodeThread(thread, &code);
        return code;
    }

    TraceCapture trace;
    PollScript script;
    ZKPOLL_THDATA def{};
    PZKPOLL_THREAD th = nullptr;
    HANDLE thread = nullptr;
};

TEST_F(PollWorker, FailedInitIsReportedAndEndsTheWorkerWithItsResult) {
    script.answer(ZKPOLL_INIT, 5);
    ZKPOLL_MSG init = start(1000);
    EXPECT_EQ(init.dwCode, ZKPOLL_INIT);
    EXPECT_EQ(init.dwSeq, 0u);
    EXPECT_EQ(init.dwData1, 5u);
    ZKPOLL_MSG last = next_reply(th);
    EXPECT_EQ(last.dwCode, ZKPOLL_TERMINATE);
    EXPECT_EQ(last.dwData1, 5u);
    EXPECT_EQ(exit_code(), 5u);
    EXPECT_EQ(status_of(th), ZKPOLL_ST_FAILED);
    EXPECT_EQ(state_of(th), ZKPOLL_STATE_IDLE);
    EXPECT_EQ(script.events(), (std::vector<DWORD>{ZKPOLL_INIT, ZKPOLL_TERMINATE}));
    EXPECT_EQ(trace.count(" - init failed rc=5 fExit=1"), 1);
}

TEST_F(PollWorker, ExitRequestedInInitOrSuspendEndsTheWorkerCleanly) {
    script.answer(ZKPOLL_INIT, 0, ZKPOLL_ACT_EXIT);
    EXPECT_EQ(start(1000).dwData1, 0u);
    EXPECT_EQ(exit_code(), 0u);
    EXPECT_EQ(status_of(th), 0u);  // neither alive nor failed
    EXPECT_EQ(script.count(ZKPOLL_POLL), 0);
    EXPECT_EQ(script.count(ZKPOLL_TERMINATE), 1);
    CloseHandle(thread);
    thread = nullptr;
    del_th(nullptr, th);
    th = nullptr;

    PollScript asks_in_suspend;
    asks_in_suspend.answer(ZKPOLL_SUSPEND, 0, ZKPOLL_ACT_EXIT);
    def = asks_in_suspend.def(2, 1000);
    ASSERT_EQ(add_new_th(nullptr, nullptr, &def, &th), 0u);
    thread = run_worker(th);
    ASSERT_EQ(next_reply(th).dwCode, ZKPOLL_INIT);
    ZKPOLL_MSG reply = command(ZKPOLL_SUSPEND, 4);
    EXPECT_EQ(reply.dwCode, ZKPOLL_SUSPEND);
    EXPECT_EQ(reply.dwSeq, 4u);
    EXPECT_EQ(reply.dwData1, 1223u);
    EXPECT_EQ(next_reply(th).dwCode, ZKPOLL_TERMINATE);
    EXPECT_EQ(exit_code(), 0u);
    EXPECT_EQ(asks_in_suspend.count(ZKPOLL_TERMINATE), 1);
}

TEST_F(PollWorker, PollsAtOnceThenEachIntervalAndAnswersPollBeforeItsCall) {
    start(150);
    ASSERT_TRUE(script.wait_count(ZKPOLL_POLL, 3));
    auto t = script.times(ZKPOLL_POLL);
    EXPECT_LT(t[0], 150);  // the first poll does not wait for an interval
    EXPECT_GE(t[1] - t[0], 140);
    EXPECT_GE(t[2] - t[1], 140);
    EXPECT_GE(trace.count(" - awake [poll]"), 2);

    // An INFINITE interval: the worker polls only on command, and a POLL
    // command is answered while its call is still running.
    ZKExclEnterCritSec(&th->csLock, INFINITE, 0, 0);
    zkpoll_store(&th->thData.dwInterval, INFINITE);
    ZKExclLeaveCritSec(&th->csLock, 0);
    ASSERT_TRUE(script.wait_count(ZKPOLL_POLL, 4));
    script.hold(ZKPOLL_POLL);
    int polls = script.count(ZKPOLL_POLL);
    ZKPOLL_MSG reply = command(ZKPOLL_POLL, 9);
    EXPECT_EQ(reply.dwCode, ZKPOLL_POLL);
    EXPECT_EQ(reply.dwSeq, 9u);
    ASSERT_TRUE(script.wait_count(ZKPOLL_POLL, polls + 1));
    EXPECT_TRUE(script.holding());
    script.release();
    Sleep(300);
    EXPECT_EQ(script.count(ZKPOLL_POLL), polls + 1);
    EXPECT_GE(trace.count(" - awake [cmd]"), 1);
}

TEST_F(PollWorker, SuspendsUntilACommandComesAndTerminatesFromSuspension) {
    script.hold(ZKPOLL_POLL);
    start(50);
    ASSERT_TRUE(script.wait_holding());
    // Pushed while the worker is busy, so its wake-up is still pending when
    // the worker suspends; that alone must not end the suspension.
    ASSERT_EQ(push_cmd(th, 1, ZKPOLL_SUSPEND, 0, 0), 0u);
    script.release();
    ZKPOLL_MSG reply = next_reply(th);
    EXPECT_EQ(reply.dwCode, ZKPOLL_SUSPEND);
    EXPECT_EQ(reply.dwData1, 0u);
    EXPECT_EQ(status_of(th), ZKPOLL_ST_ALIVE | ZKPOLL_ST_SUSPENDED);
    int polls = script.count(ZKPOLL_POLL);
    Sleep(250);
    EXPECT_EQ(script.count(ZKPOLL_POLL), polls);  // no interval polls while suspended
    EXPECT_EQ(script.count(ZKPOLL_RESUME), 0);

    reply = command(ZKPOLL_RESUME, 2);
    EXPECT_EQ(reply.dwCode, ZKPOLL_RESUME);
    EXPECT_EQ(reply.dwSeq, 2u);
    EXPECT_EQ(script.count(ZKPOLL_RESUME), 1);
    EXPECT_EQ(status_of(th) & ZKPOLL_ST_SUSPENDED, 0u);
    EXPECT_TRUE(script.wait_count(ZKPOLL_POLL, polls + 1));

    ASSERT_EQ(command(ZKPOLL_SUSPEND, 3).dwData1, 0u);
    reply = command(ZKPOLL_TERMINATE, 4);
    EXPECT_EQ(reply.dwCode, ZKPOLL_TERMINATE);
    EXPECT_EQ(reply.dwSeq, 0u);
    EXPECT_EQ(exit_code(), 0u);
    auto ev = script.events();
    ASSERT_GE(ev.size(), 2u);
    EXPECT_EQ(ev[ev.size() - 2], ZKPOLL_RESUME);
    EXPECT_EQ(ev.back(), ZKPOLL_TERMINATE);
}

TEST_F(PollWorker, CommandPushedAfterTheLastLookStillWakesTheWorker) {
    // On command only: the worker's last look into its inbox comes before
    // its " - sleep" trace, and its wait without limit after it.  A command
    // pushed from inside that trace must not be lost.
    std::atomic<int> armed{0};
    TraceCapture::hook = [&](const std::string& line) {
        if (line.find(" - sleep") == std::string::npos || armed <= 0) return;
        ZKPOLL_MSG reply;
        pop_reply(th, &reply);  // the previous command's
        if (push_cmd(th, DWORD(armed), ZKPOLL_POLL, 0, 0) == 0) armed--;
    };
    start(INFINITE);
    armed = 3;
    ASSERT_EQ(push_cmd(th, 10, ZKPOLL_POLL, 0, 0), 0u);  // sets the chain off
    EXPECT_TRUE(script.wait_count(ZKPOLL_POLL, 5, 3000)) << "a command was not taken";
    EXPECT_EQ(armed, 0);
    EXPECT_EQ(next_reply(th).dwSeq, 1u);

    // Suspended, with each command following its predecessor's reply at once.
    for (DWORD i = 1; i <= 100; i++) {
        ASSERT_EQ(push_cmd(th, i, i % 2 ? ZKPOLL_SUSPEND : ZKPOLL_RESUME, 0, 0), 0u);
        ZKPOLL_MSG reply{};
        auto sent = std::chrono::steady_clock::now();
        while ((pop_reply(th, &reply) != 0 || reply.dwCode == 0) && ms_since(sent) < 3000) {
        }
        ASSERT_EQ(reply.dwSeq, i) << "no answer";
    }
    EXPECT_EQ(script.count(ZKPOLL_RESUME), 50);
}

TEST_F(PollWorker, UnknownCommandIsAnsweredWithInvalidParameter) {
    start(1000);
    ZKPOLL_MSG reply = command(0x40, 5);
    EXPECT_EQ(reply.dwCode, 0x40u);
    EXPECT_EQ(reply.dwSeq, 5u);
    EXPECT_EQ(reply.dwData1, 87u);
    EXPECT_TRUE(is_alive());
    EXPECT_EQ(trace.count(" - unknwon cmd 00000040"), 1);
}

TEST_F(PollWorker, CheckEventShowsTheWaitingCommandToTheCallback) {
    EXPECT_EQ(ZKPollCheckEvent(nullptr, 0, nullptr, nullptr), 6u);
    DWORD junk[16] = {0x12345678};
    BOOL stop = 7;
    EXPECT_EQ(ZKPollCheckEvent(reinterpret_cast<PZKPOLL_THREAD>(junk), 0, nullptr, &stop), 6u);

    std::vector<std::pair<DWORD, BOOL>> seen;
    script.probe = [&](PZKPOLL_THREAD self, DWORD event) {
        if (event != ZKPOLL_POLL) return;
        EXPECT_EQ(ZKPollCheckEvent(self, 0, nullptr, nullptr), 87u);
        DWORD code = 99;
        BOOL s = 99;
        EXPECT_EQ(ZKPollCheckEvent(self, 0, &code, &s), 0u);
        seen.emplace_back(code, s);
    };
    start(INFINITE);  // its first poll finds nothing waiting
    for (DWORD code : {ZKPOLL_RESUME, ZKPOLL_TERMINATE}) {
        // A POLL whose call is held; the next command comes while it runs.
        script.hold(ZKPOLL_POLL);
        ASSERT_EQ(command(ZKPOLL_POLL, 1).dwCode, ZKPOLL_POLL);
        ASSERT_TRUE(script.wait_holding());
        ASSERT_EQ(push_cmd(th, 2, code, 0, 0), 0u);
        script.release();
        EXPECT_EQ(next_reply(th).dwCode, code);  // taken after the call returned
    }
    EXPECT_EQ(exit_code(), 0u);
    std::vector<std::pair<DWORD, BOOL>> expected{
        {0, FALSE}, {ZKPOLL_RESUME, FALSE}, {ZKPOLL_TERMINATE, TRUE}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(trace.count("----- event 00000200"), 1);
}

}  // namespace
