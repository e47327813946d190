// A worker record's one-slot channel, then the worker thread on a bare
// record, driven through that channel.
#include <algorithm>

#include "poll_test_util.h"

namespace {

using namespace zkx::test;

class PollChannel : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(add_new_th(nullptr, nullptr, &def, &th), 0u); }
    void TearDown() override { del_th(nullptr, th); }
    ZKPOLL_THDATA def = PollScript().def(1, 1000);
    PZKPOLL_THREAD th = nullptr;
};

TEST_F(PollChannel, OneCommandIsOutstandingUntilItsReplyIsCollected) {
    DWORD junk[16] = {0x12345678};
    BOOL stop = TRUE;
    EXPECT_EQ(ZKPollCheckEvent(reinterpret_cast<PZKPOLL_THREAD>(junk), 0, nullptr, &stop), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(ZKPollCheckEvent(nullptr, 0, nullptr, &stop), DWORD(ERROR_INVALID_HANDLE));
    ASSERT_EQ(push_cmd(th, 7, ZKPOLL_POLL, 0, 0), 0u);
    EXPECT_EQ(push_cmd(th, 8, ZKPOLL_SUSPEND, 0, 0), DWORD(ERROR_TOO_MANY_CMDS));
    DWORD waiting = 0;
    EXPECT_EQ(ZKPollCheckEvent(th, 0, &waiting, &stop), 0u);
    EXPECT_EQ(waiting, ZKPOLL_POLL);  // the first push stands
    EXPECT_FALSE(stop);

    ZKPOLL_MSG msg{};
    ASSERT_EQ(pop_cmd(th, &msg), 0u);
    EXPECT_EQ(msg.dwSeq, 7u);
    // Taken, not answered: still busy.
    EXPECT_EQ(push_cmd(th, 8, ZKPOLL_SUSPEND, 0, 0), DWORD(ERROR_TOO_MANY_CMDS));
    ASSERT_EQ(put_reply(th, 7, ZKPOLL_POLL, 0, 0), 0u);
    ASSERT_EQ(pop_reply(th, &msg), 0u);
    EXPECT_EQ(msg.dwCode, ZKPOLL_POLL);
    EXPECT_EQ(msg.dwSeq, 7u);
    EXPECT_EQ(push_cmd(th, 8, ZKPOLL_SUSPEND, 0, 0), 0u);
    EXPECT_EQ(ZKPollCheckEvent(th, 0, nullptr, &stop), 0u);
    EXPECT_TRUE(stop);
    ASSERT_EQ(pop_reply(th, &msg), 0u);
    EXPECT_EQ(msg.dwCode, 0u);  // nothing to collect
}

TEST_F(PollChannel, FullOutboxDropsTheReplyAfterItsLimitUnlessEmptied) {
    ASSERT_EQ(put_reply(th, 1, ZKPOLL_POLL, 0, 0), 0u);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(put_reply(th, 2, ZKPOLL_RESUME, 0, 0), DWORD(ERROR_SEM_TIMEOUT));
    EXPECT_GE(elapsed_ms(start), 200);
    EXPECT_LT(elapsed_ms(start), 3000);
    EXPECT_EQ(th->msgOut.dwSeq, 1u);  // the old reply stays

    std::thread manager([&] {
        Sleep(60);
        ZKPOLL_MSG reply;
        pop_reply(th, &reply);
    });
    EXPECT_EQ(put_reply(th, 3, ZKPOLL_RESUME, 0, 0), 0u);
    manager.join();
    EXPECT_EQ(th->msgOut.dwSeq, 3u);
}

class PollWorker : public ::testing::Test {
protected:
    void TearDown() override { stop(); }

    // Starts a worker on a bare record, as a starter would, and collects its
    // INIT reply.
    ZKPOLL_MSG start(DWORD interval, PollScript* s = nullptr) {
        def = (s ? *s : script).def(1, interval);
        EXPECT_EQ(add_new_th(nullptr, nullptr, &def, &th), 0u);
        test_starter(nullptr, 0, 0, thPoll, th, nullptr, &thread);
        return next_reply();
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

    // The next reply, or dwCode 0 when none comes in time.
    ZKPOLL_MSG next_reply() {
        ZKPOLL_MSG msg{};
        wait_until([&] { return pop_reply(th, &msg) == 0 && msg.dwCode != 0; });
        return msg;
    }

    // Pushes a command and checks the reply that answers it.
    void command(DWORD code, DWORD seq, DWORD result = 0) {
        ASSERT_EQ(push_cmd(th, seq, code, 0, 0), 0u);
        expect_reply(code, code == ZKPOLL_TERMINATE ? 0 : seq, result);
    }
    void expect_reply(DWORD code, DWORD seq, DWORD result) {
        ZKPOLL_MSG reply = next_reply();
        EXPECT_EQ(reply.dwCode, code);
        EXPECT_EQ(reply.dwSeq, seq);
        EXPECT_EQ(reply.dwData1, result);
    }

    DWORD exit_code() {
        EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
        return exit_code_of(thread);
    }

    bool asleep() {
        return wait_until([&] { return state_of(th) == ZKPOLL_STATE_SLEEP; });
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
    command(ZKPOLL_SUSPEND, 4, ERROR_CANCELLED);
    expect_reply(ZKPOLL_TERMINATE, 0, 0);
    EXPECT_EQ(exit_code(), 0u);
    EXPECT_EQ(in_suspend.count(ZKPOLL_TERMINATE), 1);
}

TEST_F(PollWorker, PollsAtOnceThenEachIntervalAndAnswersCommandsBeforeCalls) {
    start(150);
    ASSERT_TRUE(script.wait_count(ZKPOLL_POLL, 3));
    auto t = script.times(ZKPOLL_POLL);
    auto lines = trace.file_lines();  // the first poll does not wait for an interval
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
    command(0x40, 10, ERROR_INVALID_PARAMETER);  // unknown: answered, nothing else
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
    EXPECT_EQ(std::vector<DWORD>(ev.end() - 2, ev.end()), (std::vector<DWORD>{ZKPOLL_RESUME, ZKPOLL_TERMINATE}));
}

TEST_F(PollWorker, CommandPushedAfterTheLastLookStillWakesTheWorker) {
    // On command only: the worker's last look into its inbox comes before
    // its " - sleep" trace, and its wait without limit after it.  Commands
    // pushed from inside that trace must not be lost.
    std::atomic<int> armed{0};
    CapturedLog::hook = [&](const std::string& line) {
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
        EXPECT_EQ(ZKPollCheckEvent(self, 0, nullptr, nullptr), DWORD(ERROR_INVALID_PARAMETER));
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
