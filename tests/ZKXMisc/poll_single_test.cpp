// Operations of the poll manager on one worker, found by its id.
#include <gtest/gtest.h>

#include "poll_test_util.h"

namespace {

using namespace zkx::test;

using PollSingle = PollFixture;

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

    EXPECT_EQ(ZKPollDelThread(h, 0, 4), 159u);
    EXPECT_EQ(trace.count("bad id #4 (159)"), 1);
    EXPECT_EQ(ZKPollGetThData(h, 0, 0, &got), 1444u);
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
    EXPECT_EQ(ZKPollDelThread(h, 0, 1), 159u);
    EXPECT_EQ(trace.count("thread #1 was not arrive (159)"), 1);
    EXPECT_EQ(h->dwThreads, 2u);
    EXPECT_EQ(ZKPollControlAll(h, 0, ZKPOLL_POLL, 0, nullptr, INFINITE), 0u);  // passed by
}

TEST_F(PollSingle, NewDefinitionTakesEffectAtTheNextSleep) {
    ASSERT_EQ(create({a.def(1, 3000)}), 0u);
    ASSERT_TRUE(a.wait_count(ZKPOLL_POLL, 1));
    ZKPOLL_THDATA def = a.def(1, 0);
    EXPECT_EQ(ZKPollSetThData(h, 0, 0, &def), 87u);
    EXPECT_EQ(trace.count("ZKPollSetThData"), 0);
    def = a.def(77, 60);
    EXPECT_EQ(ZKPollSetThData(h, 0, 0, &def), 1444u);
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
    EXPECT_EQ(ZKPollAddThread(h, 0, &def, 0), 87u);
    def.dwInterval = 1000;
    ASSERT_EQ(ZKPollAddThread(h, 0, &def, 0), 0u);
    EXPECT_TRUE(a.wait_count(ZKPOLL_POLL, 1));

    b.answer(ZKPOLL_INIT, 7);
    def = b.def(2, 1000);
    EXPECT_EQ(ZKPollAddThread(h, 0, &def, 0), 7u);
    EXPECT_EQ(trace.count("thread init error (7)"), 1);
    EXPECT_EQ(b.count(ZKPOLL_TERMINATE), 1);
    EXPECT_EQ(h->dwThreads, 1u);
    EXPECT_EQ(ZKPollGetThData(h, 0, 0, &def), 1444u);
}

}  // namespace
