// Events, mutexes, semaphores and the interlocked calls within one process.
#include "kobj_test_util.h"
#include "test_util.h"

using namespace zkx::test;

namespace {

// Threads that wait on `h` and count how many were released.
struct Waiters {
    std::vector<std::thread> threads;
    std::atomic<int> released{0};
    Waiters(HANDLE h, int n) {
        for (int i = 0; i < n; ++i)
            threads.emplace_back([this, h] { released += WaitForSingleObject(h, 10000) == WAIT_OBJECT_0; });
    }
    void join() {
        for (auto& t : threads) t.join();
    }
};

}  // namespace

TEST(Event, SetAndPulseReleaseOneWaiterOfAnAutoResetEventAndAllOfAManualOne) {
    HANDLE autoev = CreateEventA(nullptr, FALSE, TRUE, nullptr), manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(autoev, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoev, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    SetLastError(0);
    EXPECT_FAILS(SetEvent(CreateMutexA(nullptr, FALSE, nullptr)), ERROR_INVALID_HANDLE);

    // Only a set manual-reset event stays set; a pulse leaves either kind
    // reset, and the waiters it released are the only ones it releases.
    for (HANDLE h : {autoev, manual}) {
        for (bool pulse : {false, true}) {
            bool stays_set = h == manual && !pulse;
            Waiters w(h, 3);
            ASSERT_TRUE(wait_for_waiters(h, 3));
            EXPECT_TRUE(pulse ? PulseEvent(h) : SetEvent(h));
            ASSERT_TRUE(wait_until([&] { return w.released == (h == manual ? 3 : 1); })) << pulse;
            EXPECT_WAITERS(h, h == manual ? 0 : 2);
            EXPECT_EQ(WaitForSingleObject(h, 0), stays_set ? WAIT_OBJECT_0 : WAIT_TIMEOUT) << pulse;
            for (int i = 0; i < 2 && h == autoev; ++i) SetEvent(h);
            w.join();
            EXPECT_EQ(w.released.load(), 3);
            EXPECT_EQ(WaitForSingleObject(h, 0), stays_set ? WAIT_OBJECT_0 : WAIT_TIMEOUT) << "all went to waiters";
            ResetEvent(h);
        }
        // Nobody waiting: the pulse is lost, and a set event ends up reset.
        SetEvent(h);
        EXPECT_TRUE(PulseEvent(h));
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
        CloseHandle(h);
    }
}

TEST(Event, PulseDoesNotReleaseAWaitAllThatCannotTakeEverything) {
    HANDLE both[2] = {CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    auto r = wait_apart([&] { return WaitForMultipleObjects(2, both, TRUE, 10000); });
    ASSERT_TRUE(wait_for_waiters(both[0], 1));
    PulseEvent(both[0]);
    SetEvent(both[1]);
    ASSERT_TRUE(wait_for_waiters(both[0], 1)) << "the pulse is over, the wait-all still needs it";
    EXPECT_TRUE(running(r));
    SetEvent(both[0]);
    EXPECT_EQ(r.get(), WAIT_OBJECT_0);
    for (HANDLE h : both) CloseHandle(h);
}

TEST(Mutex, OwnershipIsRecursivePerThreadAndOnlyTheOwnerReleases) {
    HANDLE m = CreateMutexA(nullptr, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_EQ(info_of(m).recursion, 3u);
    EXPECT_EQ(info_of(m).owner_tid, GetCurrentThreadId());
    std::thread([m] {
        EXPECT_EQ(WaitForSingleObject(m, 30), WAIT_TIMEOUT);
        SetLastError(0);
        EXPECT_FAILS(ReleaseMutex(m), ERROR_NOT_OWNER);
    }).join();
    EXPECT_EQ(info_of(m).recursion, 3u) << "a refused release changes nothing";

    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(ReleaseMutex(m));
    std::thread([m] { EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_TIMEOUT); }).join();
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_FAILS(ReleaseMutex(m), ERROR_NOT_OWNER);
    std::thread([m] {
        EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(m));
    }).join();
    CloseHandle(m);
}

TEST(Semaphore, CountsStayWithinZeroAndTheMaximum) {
    for (auto counts : {std::pair<LONG, LONG>{-1, 5}, {6, 5}, {0, 0}}) {
        SetLastError(0);
        EXPECT_FAILS(CreateSemaphoreA(nullptr, counts.first, counts.second, nullptr), ERROR_INVALID_PARAMETER);
    }
    HANDLE s = CreateSemaphoreA(nullptr, 2, 3, nullptr);
    EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_TIMEOUT);
    LONG prev = -1;
    EXPECT_TRUE(ReleaseSemaphore(s, 2, &prev));
    EXPECT_EQ(prev, 0);
    prev = -1;
    EXPECT_FAILS(ReleaseSemaphore(s, 2, &prev), ERROR_TOO_MANY_POSTS);
    EXPECT_EQ(prev, -1);
    EXPECT_EQ(info_of(s).count, 2) << "a refused release changes nothing";
    EXPECT_FAILS(ReleaseSemaphore(s, 0x7FFFFFFF, nullptr), ERROR_TOO_MANY_POSTS);
    if (!wine_departs("ReleaseSemaphore accepts a count of 0")) {
        EXPECT_FAILS(ReleaseSemaphore(s, 0, nullptr), ERROR_INVALID_PARAMETER);
    }
    EXPECT_TRUE(ReleaseSemaphore(s, 1, &prev));
    EXPECT_EQ(prev, 2);
    CloseHandle(s);

    LONG v = 5;  // the interlocked calls return the new value, or the old one
    EXPECT_EQ(InterlockedIncrement(&v), 6);
    EXPECT_EQ(InterlockedDecrement(&v), 5);
    EXPECT_EQ(InterlockedExchange(&v, 9), 5);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 8), 9);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 9), 9);
    EXPECT_EQ(v, 1);
}
