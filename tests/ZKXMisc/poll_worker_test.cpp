// The worker thread on a bare record, driven through its channel.
#include <gtest/gtest.h>

#include <algorithm>

#include "poll_test_util.h"

namespace {

using namespace zkx::test;

class PollWorker : public ::testing::Test {
protected:
    void TearDown() override { stop(); }

    // Starts a worker and collects its INIT reply.
    ZKPOLL_MSG start(DWORD interval, PollScript* s = nullptr) {
        def = (s ? *s : script).def(1, interval);
        EXPECT_EQ(add_new_th(nullptr, nullptr, &def, &th), 0u);
        thread = run_worker(th);
        return next_reply(th);
    }

    void stop() {
        script.release();
        if (!thread) return;
        if (status_of(th) & ZKPOLL_ST_ALIVE) {
            zkpoll_store(&th->msgLast.dwCode, 0);
            push_cmd(th, 0, ZKPOLL_TERMINATE, 0, 0);
        }
        EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
        close_started_threads();
        del_th(nullptr, th);
        thread = nullptr;
    }

    // Pushes a command and checks the reply that answers it.
    void command(DWORD code, DWORD seq, DWORD result = 0, DWORD reply_code = 0) {
        ASSERT_EQ(push_cmd(th, seq, code, 0, 0), 0u);
        expect_reply(reply_code ? reply_code : code, code == ZKPOLL_TERMINATE ? 0 : seq, result);
    }
    void expect_reply(DWORD code, DWORD seq, DWORD result) {
        ZKPOLL_MSG reply = next_reply(th);
        EXPECT_EQ(reply.dwCode, code);
        EXPECT_EQ(reply.dwSeq, seq);
        EXPECT_EQ(reply.dwData1, result);
    }

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
    EXPECT_EQ(init.dwData1, 5u);
    expect_reply(ZKPOLL_TERMINATE, 0, 5);
    EXPECT_EQ(exit_code(), 5u);
    EXPECT_EQ(status_of(th), ZKPOLL_ST_FAILED);
    EXPECT_EQ(state_of(th), ZKPOLL_STATE_IDLE);
    EXPECT_EQ(script.events(), (std::vector<DWORD>{ZKPOLL_INIT, ZKPOLL_TERMINATE}));
    EXPECT_EQ(trace.count(" - init failed rc=5 fExit=1"), 1);
}

TEST_F(PollWorker, ExitAskedForInInitOrSuspendEndsTheWorkerWithoutFailure) {
    script.answer(ZKPOLL_INIT, 0, ZKPOLL_ACT_EXIT);
    EXPECT_EQ(start(1000).dwData1, 0u);
    EXPECT_EQ(exit_code(), 0u);
    EXPECT_EQ(status_of(th), 0u);  // neither alive nor failed
    EXPECT_EQ(script.events(), (std::vector<DWORD>{ZKPOLL_INIT, ZKPOLL_TERMINATE}));
    stop();

    PollScript in_suspend;
    in_suspend.answer(ZKPOLL_SUSPEND, 0, ZKPOLL_ACT_EXIT);
    start(1000, &in_suspend);
    command(ZKPOLL_SUSPEND, 4, 1223);
    expect_reply(ZKPOLL_TERMINATE, 0, 0);
    EXPECT_EQ(exit_code(), 0u);
    EXPECT_EQ(in_suspend.count(ZKPOLL_TERMINATE), 1);
}

TEST_F(PollWorker, PollsAtOnceThenEachIntervalAndAnswersCommandsBeforeCalls) {
    start(150);
    ASSERT_TRUE(script.wait_count(ZKPOLL_POLL, 3));
    auto t = script.times(ZKPOLL_POLL);
    auto lines = trace.lines();  // the first poll does not wait for an interval
    auto first = [&](const char* text) {
        return std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != l.npos; });
    };
    EXPECT_LT(first(" - callback [00000001]"), first(" - sleep"));
    EXPECT_GE(t[1] - t[0], 140);
    EXPECT_GE(t[2] - t[1], 140);
    EXPECT_GE(trace.count(" - awake [poll]"), 2);

    // On command only from now on: the interval changes while a poll's call
    // runs, so the sleep after it is the first to read it.  (Changed while
    // the worker is between calls, a slow machine decides which sleep does.)
    auto asleep = [&] { return wait_until([&] { return state_of(th) == ZKPOLL_STATE_SLEEP; }); };
    script.hold(ZKPOLL_POLL);
    ASSERT_TRUE(script.wait_holding());
    ZKExclEnterCritSec(&th->csLock, INFINITE, 0, 0);
    zkpoll_store(&th->thData.dwInterval, INFINITE);
    ZKExclLeaveCritSec(&th->csLock, 0);
    script.release();
    ASSERT_TRUE(asleep());
    // A POLL command is answered while its call runs.
    script.hold(ZKPOLL_POLL);
    int polls = script.count(ZKPOLL_POLL);
    command(ZKPOLL_POLL, 9);
    ASSERT_TRUE(script.wait_holding());
    script.release();
    // Once the worker sleeps, past its last look into the inbox, the next
    // command must wake it: a slow machine must not let the look take it.
    ASSERT_TRUE(asleep());
    command(0x40, 10, 87);  // unknown: answered, nothing else
    Sleep(300);
    EXPECT_EQ(script.count(ZKPOLL_POLL), polls + 1);
    EXPECT_GE(trace.count(" - awake [cmd]"), 1);
    EXPECT_EQ(trace.count(" - unknwon cmd 00000040"), 1);
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
    EXPECT_EQ(script.count(ZKPOLL_RESUME), 0);

    command(ZKPOLL_RESUME, 2);
    EXPECT_EQ(script.count(ZKPOLL_RESUME), 1);  // made before the reply
    EXPECT_EQ(status_of(th), ZKPOLL_ST_ALIVE);
    EXPECT_TRUE(script.wait_count(ZKPOLL_POLL, polls + 1));

    command(ZKPOLL_SUSPEND, 3);
    command(ZKPOLL_TERMINATE, 4);
    EXPECT_EQ(exit_code(), 0u);
    auto ev = script.events();
    EXPECT_EQ(std::vector<DWORD>(ev.end() - 2, ev.end()),
              (std::vector<DWORD>{ZKPOLL_RESUME, ZKPOLL_TERMINATE}));
}

TEST_F(PollWorker, CommandPushedAfterTheLastLookStillWakesTheWorker) {
    // On command only: the worker's last look into its inbox comes before
    // its " - sleep" trace, and its wait without limit after it.  Commands
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
    expect_reply(ZKPOLL_POLL, 1, 0);
}

TEST_F(PollWorker, CheckEventShowsACallbackTheCommandWaitingForIt) {
    std::vector<std::pair<DWORD, BOOL>> seen;
    script.probe = [&](PZKPOLL_THREAD self, DWORD event) {
        DWORD code = 99;
        BOOL stop_it = 99;
        EXPECT_EQ(ZKPollCheckEvent(self, 0, nullptr, nullptr), 87u);
        if (event == ZKPOLL_POLL && ZKPollCheckEvent(self, 0, &code, &stop_it) == 0)
            seen.emplace_back(code, stop_it);
    };
    script.hold(ZKPOLL_POLL);
    start(INFINITE);
    ASSERT_TRUE(script.wait_holding());
    ASSERT_EQ(push_cmd(th, 2, ZKPOLL_TERMINATE, 0, 0), 0u);
    script.release();
    expect_reply(ZKPOLL_TERMINATE, 0, 0);  // taken after the call returned
    EXPECT_EQ(seen, (std::vector<std::pair<DWORD, BOOL>>{{ZKPOLL_TERMINATE, TRUE}}));
    EXPECT_EQ(trace.count("----- event 00000200"), 1);
}

}  // namespace
