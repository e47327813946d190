// A worker record's one-slot channel, its place in a handle's list, and tick
// arithmetic; no worker runs here.
#include <gtest/gtest.h>

#include <thread>

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
    EXPECT_EQ(ZKPollCheckEvent(reinterpret_cast<PZKPOLL_THREAD>(junk), 0, nullptr, &stop), 6u);
    EXPECT_EQ(ZKPollCheckEvent(nullptr, 0, nullptr, &stop), 6u);
    ASSERT_EQ(push_cmd(th, 7, ZKPOLL_POLL, 0, 0), 0u);
    EXPECT_EQ(push_cmd(th, 8, ZKPOLL_SUSPEND, 0, 0), 56u);
    DWORD waiting = 0;
    EXPECT_EQ(ZKPollCheckEvent(th, 0, &waiting, &stop), 0u);
    EXPECT_EQ(waiting, ZKPOLL_POLL);  // the first push stands
    EXPECT_FALSE(stop);

    ZKPOLL_MSG msg{};
    ASSERT_EQ(pop_cmd(th, &msg), 0u);
    EXPECT_EQ(msg.dwSeq, 7u);
    EXPECT_EQ(push_cmd(th, 8, ZKPOLL_SUSPEND, 0, 0), 56u);  // taken, not answered: still busy
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
    EXPECT_EQ(put_reply(th, 2, ZKPOLL_RESUME, 0, 0), 121u);
    EXPECT_GE(ms_since(start), 200);
    EXPECT_LT(ms_since(start), 3000);
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

TEST_F(PollChannel, RecordsStayInCreationOrderAndUnlinkBothWays) {
    EXPECT_EQ(th->hHeap, nullptr);  // from the process heap, with no owner
    EXPECT_EQ(th->pOwnerLink, nullptr);
    struct _ZKPOLL_HANDLE owner {};
    HANDLE heap = HeapCreate(0, 4090, 0);
    PZKPOLL_THREAD a, b, c;
    for (PZKPOLL_THREAD* p : {&a, &b, &c}) ASSERT_EQ(add_new_th(heap, &owner, &def, p), 0u);
    EXPECT_EQ(owner.dwThreads, 3u);
    EXPECT_EQ(a->pOwnerLink, &owner.dwOwnerLink);
    EXPECT_EQ(owner.pFirst, a);
    EXPECT_EQ(owner.pLast, c);
    del_th(&owner, b);
    EXPECT_EQ(a->pNext, c);
    EXPECT_EQ(c->pPrev, a);
    del_th(&owner, a);
    EXPECT_EQ(owner.pFirst, c);
    del_th(&owner, c);
    EXPECT_EQ(owner.pFirst, nullptr);
    EXPECT_EQ(owner.pLast, nullptr);
    EXPECT_EQ(owner.dwThreads, 0u);
    HeapDestroy(heap);
}

TEST(PollTicks, ElapsedTimeCountsAcrossTheWrap) {
    EXPECT_EQ(tick_diff(100, 350), 250u);
    EXPECT_EQ(tick_diff(0xFFFFFF00u, 0x10u), 0x10Fu);
    DWORD start;
    tick_start(&start);
    EXPECT_EQ(tick_expired(&start, 60000), 0u);
    start -= 5000;
    EXPECT_EQ(tick_expired(&start, 1000), 1u);
}

}  // namespace
