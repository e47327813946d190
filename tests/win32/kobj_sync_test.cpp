// Events, mutexes, semaphores and the interlocked calls within one process.
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
            threads.emplace_back([this, h] { released += WaitForSingleObject(h, 10000) == WAIT_OBJECT_0; });
    }
    void join() {
        for (auto& t : threads) t.join();
    }
};

}  // namespace

TEST(Event, AutoResetReleasesOneWaiterPerSetManualStaysSet) {
    HANDLE autoev = CreateEventA(nullptr, FALSE, TRUE, nullptr), manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
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
    EXPECT_WAITERS(autoev, 2);
    SetEvent(autoev);
    SetEvent(autoev);
    w.join();
    EXPECT_EQ(w.released.load(), 3);
    EXPECT_EQ(WaitForSingleObject(autoev, 0), WAIT_TIMEOUT) << "every set went to a waiter";

    SetLastError(0);
    EXPECT_FALSE(SetEvent(CreateMutexA(nullptr, FALSE, nullptr)));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    for (HANDLE h : {autoev, manual}) CloseHandle(h);
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
    EXPECT_WAITERS(autoev, 2);
    EXPECT_EQ(WaitForSingleObject(autoev, 0), WAIT_TIMEOUT);
    SetEvent(autoev);
    SetEvent(autoev);
    one.join();

    // Nobody waiting: the pulse is lost, and a set event ends up reset.
    for (HANDLE h : {manual, autoev}) {
        SetEvent(h);
        EXPECT_TRUE(PulseEvent(h));
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
        CloseHandle(h);
    }
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
        EXPECT_FALSE(ReleaseMutex(m));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_OWNER));
    }).join();
    EXPECT_EQ(info_of(m).recursion, 3u) << "a refused release changes nothing";

    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(ReleaseMutex(m));
    std::thread([m] { EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_TIMEOUT); }).join();
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_OWNER));
    std::thread([m] {
        EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(m));
    }).join();
    CloseHandle(m);
}

TEST(Semaphore, CountsStayWithinZeroAndTheMaximum) {
    for (auto counts : {std::pair<LONG, LONG>{-1, 5}, {6, 5}, {0, 0}}) {
        SetLastError(0);
        EXPECT_EQ(CreateSemaphoreA(nullptr, counts.first, counts.second, nullptr), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    }
    HANDLE s = CreateSemaphoreA(nullptr, 2, 3, nullptr);
    EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_TIMEOUT);
    LONG prev = -1;
    EXPECT_TRUE(ReleaseSemaphore(s, 2, &prev));
    EXPECT_EQ(prev, 0);
    prev = -1;
    EXPECT_FALSE(ReleaseSemaphore(s, 2, &prev));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_TOO_MANY_POSTS));
    EXPECT_EQ(prev, -1);
    EXPECT_EQ(info_of(s).count, 2) << "a refused release changes nothing";
    EXPECT_FALSE(ReleaseSemaphore(s, 0x7FFFFFFF, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_TOO_MANY_POSTS));
    if (!wine_departs("ReleaseSemaphore accepts a count of 0")) {
        EXPECT_FALSE(ReleaseSemaphore(s, 0, nullptr));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
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
