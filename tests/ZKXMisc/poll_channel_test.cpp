// The worker record's one-slot channel, its place in a handle's list, and
// tick arithmetic; no worker thread runs here.
#include <gtest/gtest.h>

#include <thread>

#include "poll_test_util.h"

namespace {

using namespace zkx::test;

class PollChannel : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(add_new_th(nullptr, nullptr, &def, &th), 0u); }
    void TearDown() override { del_th(nullptr, th); }
    PollScript script;
    ZKPOLL_THDATA def = script.def(1, 1000);
    PZKPOLL_THREAD th = nullptr;
};

TEST_F(PollChannel, OneCommandIsOutstandingUntilItsReplyIsCollected) {
    ASSERT_EQ(push_cmd(th, 7, ZKPOLL_POLL, 0, 0), 0u);
    EXPECT_EQ(push_cmd(th, 8, ZKPOLL_SUSPEND, 0, 0), 56u);
    DWORD waiting = 0;
    BOOL stop = TRUE;
    EXPECT_EQ(ZKPollCheckEvent(th, 0, &waiting, &stop), 0u);
    EXPECT_EQ(waiting, ZKPOLL_POLL);
    EXPECT_FALSE(stop);
    EXPECT_EQ(th->msgIn.dwCode, ZKPOLL_POLL);
    EXPECT_EQ(th->msgIn.dwSeq, 7u);

    ZKPOLL_MSG cmd{};
    ASSERT_EQ(pop_cmd(th, &cmd), 0u);
    EXPECT_EQ(cmd.dwCode, ZKPOLL_POLL);
    EXPECT_EQ(cmd.dwSeq, 7u);
    EXPECT_EQ(th->msgIn.dwCode, 0u);
    // Taken but not answered still counts as busy.
    EXPECT_EQ(push_cmd(th, 8, ZKPOLL_SUSPEND, 0, 0), 56u);

    ASSERT_EQ(put_reply(th, 7, ZKPOLL_POLL, 0, 0), 0u);
    ZKPOLL_MSG reply{};
    ASSERT_EQ(pop_reply(th, &reply), 0u);
    EXPECT_EQ(reply.dwCode, ZKPOLL_POLL);
    EXPECT_EQ(reply.dwSeq, 7u);
    EXPECT_EQ(th->msgLast.dwCode, 0u);
    EXPECT_EQ(push_cmd(th, 8, ZKPOLL_SUSPEND, 0, 0), 0u);
    EXPECT_EQ(ZKPollCheckEvent(th, 0, nullptr, &stop), 0u);
    EXPECT_TRUE(stop);

    // Empty slots give an empty message.
    ASSERT_EQ(pop_reply(th, &reply), 0u);
    EXPECT_EQ(reply.dwCode, 0u);
}

TEST_F(PollChannel, FullOutboxDropsTheReplyAfterItsLimitUnlessEmptied) {
    ASSERT_EQ(put_reply(th, 1, ZKPOLL_POLL, 0, 0), 0u);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(put_reply(th, 2, ZKPOLL_RESUME, 0, 0), 121u);
    long took = ms_since(start);
    EXPECT_GE(took, 200);
    EXPECT_LT(took, 3000);
    EXPECT_EQ(th->msgOut.dwCode, ZKPOLL_POLL);  // the old reply stays
    EXPECT_EQ(th->msgOut.dwSeq, 1u);

    std::thread manager([&] {
        Sleep(60);
        ZKPOLL_MSG reply;
        pop_reply(th, &reply);
    });
    EXPECT_EQ(put_reply(th, 3, ZKPOLL_RESUME, 0, 0), 0u);
    manager.join();
    EXPECT_EQ(th->msgOut.dwCode, ZKPOLL_RESUME);
    EXPECT_EQ(th->msgOut.dwSeq, 3u);
}

TEST_F(PollChannel, RecordsStayInCreationOrderAndUnlinkBothWays) {
    EXPECT_EQ(th->hHeap, nullptr);  // made from the process heap
    EXPECT_EQ(th->pOwnerLink, nullptr);
    EXPECT_EQ(th->dwMagic, 0x506F6C43u);

    struct _ZKPOLL_HANDLE owner {};
    HANDLE heap = HeapCreate(0, 4090, 0);
    PZKPOLL_THREAD a, b, c;
    ASSERT_EQ(add_new_th(heap, &owner, &def, &a), 0u);
    ASSERT_EQ(add_new_th(heap, &owner, &def, &b), 0u);
    ASSERT_EQ(add_new_th(heap, &owner, &def, &c), 0u);
    EXPECT_EQ(owner.dwThreads, 3u);
    EXPECT_EQ(a->hHeap, heap);
    EXPECT_EQ(a->pOwnerLink, &owner.dwOwnerLink);
    EXPECT_EQ(owner.pFirst, a);
    EXPECT_EQ(owner.pLast, c);

    del_th(&owner, b);
    EXPECT_EQ(a->pNext, c);
    EXPECT_EQ(c->pPrev, a);
    EXPECT_EQ(owner.dwThreads, 2u);
    del_th(&owner, a);
    EXPECT_EQ(owner.pFirst, c);
    EXPECT_EQ(c->pPrev, nullptr);
    del_th(&owner, c);
    EXPECT_EQ(owner.pFirst, nullptr);
    EXPECT_EQ(owner.pLast, nullptr);
    EXPECT_EQ(owner.dwThreads, 0u);
    EXPECT_EQ(del_th(&owner, nullptr), 0u);
    HeapDestroy(heap);
}

TEST(PollTicks, ElapsedTimeCountsAcrossTheWrap) {
    EXPECT_EQ(tick_diff(100, 350), 250u);
    EXPECT_EQ(tick_diff(0xFFFFFF00u, 0x10u), 0x10Fu);
    EXPECT_EQ(tick_diff(0xFFFFFFFFu, 0), 0u);
    DWORD start;
    tick_start(&start);
    EXPECT_EQ(tick_expired(&start, 60000), 0u);
    start -= 5000;
    EXPECT_EQ(tick_expired(&start, 1000), 1u);
}

}  // namespace
