#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "kobj_test_util.h"

using namespace zkx::test;

namespace {

// Threads that wait on `h` and count how many were released.
struct Waiters {
    std::vector<std::thread> threads;
    std::atomic<int> released{0};
    Waiters(HANDLE h, int n) {
        for (int i = 0; i < n; ++i)
            threads.emplace_back([this, h] {
                if (WaitForSingleObject(h, 10000) == WAIT_OBJECT_0) ++released;
            });
    }
    void join() {
        for (auto& t : threads) t.join();
    }
};

}  // namespace

TEST(Event, AutoResetReleasesOneWaiterPerSetManualStaysSet) {
    HANDLE autoev = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    HANDLE manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(autoev, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoev, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

    Waiters w(autoev, 3);
    ASSERT_TRUE(wait_for_waiters(autoev, 3));
    EXPECT_TRUE(SetEvent(autoev));
    ASSERT_TRUE(eventually([&] { return w.released == 1; }));
    EXPECT_EQ(info_of(autoev).waiters, 2u);
    SetEvent(autoev);
    SetEvent(autoev);
    w.join();
    EXPECT_EQ(w.released.load(), 3);
    EXPECT_EQ(WaitForSingleObject(autoev, 0), WAIT_TIMEOUT) << "every set went to a waiter";

    SetLastError(0);
    EXPECT_FALSE(SetEvent(CreateMutexA(nullptr, FALSE, nullptr)));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    CloseHandle(autoev);
    CloseHandle(manual);
}

TEST(Event, PulseReleasesOnlyThreadsAlreadyWaiting) {
    // Manual reset: every waiter goes, and the event is left reset.
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Waiters all(manual, 3);
    ASSERT_TRUE(wait_for_waiters(manual, 3));
    EXPECT_TRUE(PulseEvent(manual));
    all.join();
    EXPECT_EQ(all.released.load(), 3);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

    // Auto reset: exactly one goes.
    HANDLE autoev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    Waiters one(autoev, 3);
    ASSERT_TRUE(wait_for_waiters(autoev, 3));
    EXPECT_TRUE(PulseEvent(autoev));
    ASSERT_TRUE(eventually([&] { return one.released == 1; }));
    EXPECT_EQ(info_of(autoev).waiters, 2u);
    EXPECT_EQ(WaitForSingleObject(autoev, 0), WAIT_TIMEOUT);
    SetEvent(autoev);
    SetEvent(autoev);
    one.join();

    // Nobody waiting: the pulse is lost, and a set event ends up reset.
    for (HANDLE h : {manual, autoev}) {
        SetEvent(h);
        EXPECT_TRUE(PulseEvent(h));
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    }
    CloseHandle(manual);
    CloseHandle(autoev);
}

TEST(Event, PulseDoesNotReleaseAWaitAllThatCannotTakeEverything) {
    HANDLE both[2] = {CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<DWORD> result{0xDEAD};
    std::thread t([&] { result = WaitForMultipleObjects(2, both, TRUE, 10000); });
    ASSERT_TRUE(wait_for_waiters(both[0], 1));
    PulseEvent(both[0]);
    SetEvent(both[1]);
    ASSERT_TRUE(wait_for_waiters(both[0], 1)) << "the pulse is over, the wait-all still needs it";
    EXPECT_EQ(result.load(), 0xDEADu);
    SetEvent(both[0]);
    t.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    CloseHandle(both[0]);
    CloseHandle(both[1]);
}
