#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "kobj_test_util.h"

using namespace zkx::test;

TEST(Mutex, OwnershipIsRecursivePerThreadAndOnlyTheOwnerReleases) {
    HANDLE m = CreateMutexA(nullptr, TRUE, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_EQ(info_of(m).recursion, 3u);
    EXPECT_EQ(info_of(m).owner_tid, GetCurrentThreadId());

    std::thread([m] {
        EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_TIMEOUT);
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
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_OWNER));
    std::thread([m] {
        EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(m));
    }).join();
    CloseHandle(m);
}

TEST(Mutex, ReleaseHandsOwnershipToTheFirstWaiter) {
    HANDLE m = CreateMutexA(nullptr, TRUE, nullptr);
    std::atomic<DWORD> owner_seen{0};
    std::thread t([&] {
        EXPECT_EQ(WaitForSingleObject(m, 10000), WAIT_OBJECT_0);
        owner_seen = info_of(m).owner_tid;
        EXPECT_TRUE(ReleaseMutex(m));
    });
    ASSERT_TRUE(wait_for_waiters(m, 1));
    EXPECT_TRUE(ReleaseMutex(m));
    t.join();
    EXPECT_NE(owner_seen.load(), 0u);
    EXPECT_NE(owner_seen.load(), GetCurrentThreadId());
    CloseHandle(m);
}

TEST(Mutex, ExclusionHoldsUnderContention) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    long counter = 0;  // guarded by m only
    std::atomic<int> inside{0}, overlaps{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            for (int n = 0; n < 2000; ++n) {
                ASSERT_EQ(WaitForSingleObject(m, 10000), WAIT_OBJECT_0);
                if (inside.fetch_add(1) != 0) ++overlaps;
                ++counter;
                inside.fetch_sub(1);
                ASSERT_TRUE(ReleaseMutex(m));
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(counter, 8000);
    EXPECT_EQ(info_of(m).owner_tid, 0u);
    CloseHandle(m);
}

TEST(Semaphore, CountsStayWithinZeroAndTheMaximum) {
    SetLastError(0);
    EXPECT_EQ(CreateSemaphoreA(nullptr, -1, 5, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateSemaphoreA(nullptr, 6, 5, nullptr), nullptr);
    EXPECT_EQ(CreateSemaphoreA(nullptr, 0, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

    HANDLE s = CreateSemaphoreA(nullptr, 2, 3, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_TIMEOUT);
    LONG prev = -1;
    EXPECT_TRUE(ReleaseSemaphore(s, 2, &prev));
    EXPECT_EQ(prev, 0);
    prev = -1;
    SetLastError(0);
    EXPECT_FALSE(ReleaseSemaphore(s, 2, &prev));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_TOO_MANY_POSTS));
    EXPECT_EQ(prev, -1);
    EXPECT_EQ(info_of(s).count, 2) << "a refused release changes nothing";
    EXPECT_FALSE(ReleaseSemaphore(s, 0, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(ReleaseSemaphore(s, -1, nullptr));
    EXPECT_FALSE(ReleaseSemaphore(s, 0x7FFFFFFF, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_TOO_MANY_POSTS));
    EXPECT_TRUE(ReleaseSemaphore(s, 1, &prev));
    EXPECT_EQ(prev, 2);
    EXPECT_EQ(info_of(s).count, 3);
    CloseHandle(s);
}

TEST(Semaphore, ReleaseWakesAsManyWaitersAsUnitsAndReportsThePreviousCount) {
    HANDLE s = CreateSemaphoreA(nullptr, 0, 10, nullptr);
    std::atomic<int> got{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&] {
            if (WaitForSingleObject(s, 10000) == WAIT_OBJECT_0) ++got;
        });
    ASSERT_TRUE(wait_for_waiters(s, 3));
    LONG prev = -1;
    EXPECT_TRUE(ReleaseSemaphore(s, 2, &prev));
    EXPECT_EQ(prev, 0) << "the units went to waiters, not into the count first";
    ASSERT_TRUE(eventually([&] { return got == 2; }));
    EXPECT_EQ(info_of(s).count, 0);
    EXPECT_TRUE(ReleaseSemaphore(s, 3, &prev));
    for (auto& t : threads) t.join();
    EXPECT_EQ(got.load(), 3);
    EXPECT_EQ(info_of(s).count, 2);
    CloseHandle(s);
}

TEST(Interlocked, ReturnNewValuesOrTheOldOneAndStayAtomic) {
    LONG v = 5;
    EXPECT_EQ(InterlockedIncrement(&v), 6);
    EXPECT_EQ(InterlockedDecrement(&v), 5);
    EXPECT_EQ(InterlockedExchange(&v, 9), 5);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 8), 9);
    EXPECT_EQ(v, 9);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 9), 9);
    EXPECT_EQ(v, 1);
    LONG big = 0x7FFFFFFF;
    EXPECT_EQ(InterlockedIncrement(&big), LONG(0x80000000u));

    LONG counter = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            for (int n = 0; n < 20000; ++n) {
                InterlockedIncrement(&counter);
                InterlockedDecrement(&counter);
                InterlockedIncrement(&counter);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 80000);
}
