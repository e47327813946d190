#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "kobj_test_util.h"

using namespace zkx::test;

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
    EXPECT_FALSE(ReleaseSemaphore(s, 0, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(ReleaseSemaphore(s, 1, &prev));
    EXPECT_EQ(prev, 2);
    CloseHandle(s);
}

TEST(Interlocked, ReturnNewValuesOrTheOldOneAndStayAtomic) {
    LONG v = 5;
    EXPECT_EQ(InterlockedIncrement(&v), 6);
    EXPECT_EQ(InterlockedDecrement(&v), 5);
    EXPECT_EQ(InterlockedExchange(&v, 9), 5);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 8), 9);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 9), 9);
    EXPECT_EQ(v, 1);
}
