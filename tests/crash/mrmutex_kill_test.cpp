// Writers of a cross-process multi-reader mutex killed at random moments and
// while they hold it: the survivors get in again (after one 128 from the
// abandoned mutex at most) and exclusion still holds.
#include <gtest/gtest.h>

#include <string>

#include "ZKExcl.h"
#include "child.h"
#include "crash_util.h"

namespace {

using namespace zkx::test;

const char kName[] = "crash-mr";

// Enter with retries over abandonment: 128 means nothing is held and the
// next try finds the mutex free.
DWORD enter_write(PZKEXCL_MRMUTEX mr, DWORD timeout) {
    DWORD r = WAIT_ABANDONED;
    for (int tries = 0; tries < 4 && r == WAIT_ABANDONED; ++tries)
        r = ZKExclEnterMRMutexWrite(mr, timeout, 0, 0);
    return r;
}

// Takes write turns until it is killed.
ZKX_CHILD(mr_writer) {
    ZKEXCL_MRMUTEX mr{};
    if (ZKExclInitMRMutex(&mr, kName, 0, 0) != 0) return 2;
    for (unsigned turn = 0;; ++turn) {
        DWORD r = enter_write(&mr, INFINITE);
        if (r != 0) return 3;
        ZKExclLeaveMRMutexWrite(&mr, 0);
        if (turn == 0) signal_ready(args.at(0));
    }
}

ZKX_CHILD(mr_write_holder) {
    ZKEXCL_MRMUTEX mr{};
    if (ZKExclInitMRMutex(&mr, kName, 0, 0) != 0) return 2;
    if (ZKExclEnterMRMutexWrite(&mr, 5000, 0, 0) != 0) return 3;
    signal_ready(args.at(0));
    for (;;) Sleep(1000);
}

class MRMutexKill : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ZKExclInitMRMutex(&mr, kName, 0, 0), 0u); }
    void TearDown() override { ZKExclDeleteMRMutex(&mr, 0); }

    // Survivors can still read and write within a bounded time.
    void expect_usable() {
        ASSERT_EQ(enter_write(&mr, 5000), 0u);
        EXPECT_EQ(ZKExclLeaveMRMutexWrite(&mr, 0), 0u);
        DWORD r = ZKExclEnterMRMutexRead(&mr, 5000, 0, 0);
        if (r == WAIT_ABANDONED) r = ZKExclEnterMRMutexRead(&mr, 5000, 0, 0);
        ASSERT_EQ(r, 0u);
        EXPECT_EQ(ZKExclLeaveMRMutexRead(&mr, 0), 0u);
    }

    ZKEXCL_MRMUTEX mr{};
};

TEST_F(MRMutexKill, WriterKilledWhileHoldingIsReportedOnceThenFree) {
    pid_t holder = spawn_working_child("mr_write_holder", "crash-mr-held", {"crash-mr-held"});
    ASSERT_NE(holder, 0);
    EXPECT_EQ(ZKExclEnterMRMutexWrite(&mr, 0, 0, 0), 258u) << "the holder still has it";
    EXPECT_TRUE(kill_now(holder));
    EXPECT_EQ(ZKExclEnterMRMutexWrite(&mr, 2000, 0, 0), 128u);
    // 128 admitted nobody: a reader gets in at once.
    EXPECT_EQ(ZKExclEnterMRMutexRead(&mr, 0, 0, 0), 0u);
    EXPECT_EQ(ZKExclLeaveMRMutexRead(&mr, 0), 0u);
    expect_usable();
}

TEST_F(MRMutexKill, WritersKilledAtRandomMomentsLeaveItUsable) {
    for (int round = 0; another_round(round, 8); ++round) {
        std::string ready = "crash-mr-ready-" + std::to_string(round);
        pid_t a = spawn_working_child("mr_writer", ready + "a", {ready + "a"});
        pid_t b = spawn_working_child("mr_writer", ready + "b", {ready + "b"});
        ASSERT_TRUE(a && b);
        EXPECT_TRUE(kill_at_random_moment(a, 15));
        // The other writer is still in its loop: we share the lock with it.
        expect_usable();
        EXPECT_TRUE(kill_at_random_moment(b, 5));
        expect_usable();
    }
}

}  // namespace
