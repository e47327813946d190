// Operations of the poll manager on one worker, found by its id.
#include <gtest/gtest.h>

#include "poll_test_util.h"

namespace {

using namespace zkx::test;

class PollSingle : public ::testing::Test {
protected:
    void SetUp() override { use_fast_rounds(); }
    void TearDown() override {
        for (PollScript* s : {&a, &b}) s->release();
        if (h) {
            EXPECT_EQ(ZKPollDestroy(h, 0, INFINITE), 0u);
        }
        EXPECT_EQ(trace.indent(), 0);
        EXPECT_TRUE(started_threads_ended());
        close_started_threads();
    }

    void create(std::vector<ZKPOLL_THDATA> defs) {
        ZKPOLL_THDATA none{};  // the array must exist even when it is empty
        ZKPOLL_PARAM param{DWORD(defs.size()), defs.empty() ? &none : defs.data(), test_starter};
        ASSERT_EQ(ZKPollCreate(&param, &h, 0), 0u);
    }

    TraceCapture trace;
    PollScript a, b;
    PZKPOLL_HANDLE h = nullptr;
};

TEST_F(PollSingle, EqualIdsAreServedInCreationOrder) {
    ZKPOLL_THDATA first = a.def(4, 1000), second = b.def(4, 1000);
    second.adwUser[7] = 22;
    create({first, second});
    ZKPOLL_THDATA got{};
    got.dwId = 4;
    ASSERT_EQ(ZKPollGetThData(h, 0, 0, &got), 0u);
    EXPECT_EQ(got.adwUser[0], first.adwUser[0]);
    ASSERT_EQ(ZKPollDelThread(h, 0, 4), 0u);
    EXPECT_EQ(a.count(ZKPOLL_TERMINATE), 1);
    EXPECT_EQ(b.count(ZKPOLL_TERMINATE), 0);
    ASSERT_EQ(ZKPollGetThData(h, 0, 0, &got), 0u);
    EXPECT_EQ(got.adwUser[7], 22u);  // all eleven words come back
    ASSERT_EQ(ZKPollDelThread(h, 0, 4), 0u);
    EXPECT_EQ(h->dwThreads, 0u);

    EXPECT_EQ(ZKPollDelThread(h, 0, 4), 159u);
    EXPECT_EQ(trace.count("ZKPolDelThread "), 3);
    EXPECT_EQ(trace.count("bad id #4 (159)"), 1);
    EXPECT_EQ(ZKPollGetThData(h, 0, 0, &got), 1444u);
    EXPECT_EQ(got.adwUser[7], 22u);  // untouched
    EXPECT_EQ(trace.count("no thread id 00000004"), 1);
}

TEST_F(PollSingle, RemovingASuspendedWorkerResumesThenTerminatesIt) {
    create({a.def(1, 1000), b.def(2, 1000)});
    ASSERT_EQ(ZKPollControlAll(h, 0, ZKPOLL_SUSPEND, 0, nullptr, INFINITE), 0u);
    ASSERT_EQ(ZKPollDelThread(h, 0, 1), 0u);
    auto ev = a.events();
    ASSERT_GE(ev.size(), 3u);
    EXPECT_EQ(ev[ev.size() - 3], ZKPOLL_SUSPEND);
    EXPECT_EQ(ev[ev.size() - 2], ZKPOLL_RESUME);
    EXPECT_EQ(ev.back(), ZKPOLL_TERMINATE);
    EXPECT_EQ(h->dwThreads, 1u);
    EXPECT_EQ(b.count(ZKPOLL_RESUME), 0);  // the other stays suspended
}

TEST_F(PollSingle, WorkerThatEndedByItselfIsLeftForDestroy) {
    a.answer(ZKPOLL_POLL, 9);  // its first poll fails
    create({a.def(1, 1000), b.def(2, 1000)});
    ASSERT_TRUE(a.wait_count(ZKPOLL_TERMINATE, 1));
    ASSERT_EQ(WaitForSingleObject(started_threads()[0], 5000), WAIT_OBJECT_0);
    EXPECT_EQ(ZKPollDelThread(h, 0, 1), 159u);
    EXPECT_EQ(trace.count("thread #1 was not arrive (159)"), 1);
    EXPECT_EQ(h->dwThreads, 2u);
    // Broadcasts pass it by.
    EXPECT_EQ(ZKPollControlAll(h, 0, ZKPOLL_POLL, 0, nullptr, INFINITE), 0u);
}

TEST_F(PollSingle, NewDefinitionTakesEffectAtTheNextSleep) {
    create({a.def(1, 3000)});
    ASSERT_TRUE(a.wait_count(ZKPOLL_POLL, 1));
    ZKPOLL_THDATA def = a.def(1, 0);
    EXPECT_EQ(ZKPollSetThData(h, 0, 0, &def), 87u);
    EXPECT_EQ(trace.count("ZKPollSetThData"), 0);
    def.dwInterval = 60;
    def.dwId = 77;
    EXPECT_EQ(ZKPollSetThData(h, 0, 0, &def), 1444u);
    def.dwId = 1;
    ASSERT_EQ(ZKPollSetThData(h, 0, 0, &def), 0u);

    Sleep(400);  // the 3000 ms sleep goes on
    EXPECT_EQ(a.count(ZKPOLL_POLL), 1);
    // A command ends that sleep; the following ones last 60 ms.
    ASSERT_EQ(ZKPollControlAll(h, 0, ZKPOLL_POLL, 0, nullptr, INFINITE), 0u);
    EXPECT_TRUE(a.wait_count(ZKPOLL_POLL, 5, 2000));
    ZKPOLL_THDATA got{};
    got.dwId = 1;
    ASSERT_EQ(ZKPollGetThData(h, 0, 0, &got), 0u);
    EXPECT_EQ(got.dwInterval, 60u);
}

TEST_F(PollSingle, AddedWorkerRunsOrIsRemovedWhenItsInitFails) {
    create({});
    ZKPOLL_THDATA def = a.def(1, 1000);
    def.dwInterval = 0;
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
    EXPECT_EQ(WaitForSingleObject(started_threads()[1], 5000), WAIT_OBJECT_0);
}

}  // namespace
