#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "kobj_test_util.h"

using namespace zkx::test;

TEST(Wait, TimeoutsZeroTriesShortOnesExpire) {
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    std::thread([m] { WaitForSingleObject(m, 0); }).join();  // owned by a thread that ended: abandoned
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    EXPECT_LT(elapsed_ms(start), 1000);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(ev, 60), WAIT_TIMEOUT);
    long ms = elapsed_ms(start);
    EXPECT_GE(ms, 55);
    EXPECT_LT(ms, 5000);
    HANDLE two[2] = {ev, m};
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForMultipleObjects(2, two, FALSE, 0), WAIT_ABANDONED_0 + 1);
    EXPECT_TRUE(ReleaseMutex(m));
    std::thread([m] { WaitForSingleObject(m, 0); }).join();
    EXPECT_EQ(WaitForMultipleObjects(2, two, TRUE, 40), WAIT_TIMEOUT);
    EXPECT_GE(elapsed_ms(start), 35);
    EXPECT_EQ(info_of(m).owner_tid, 0u) << "a wait-all that timed out took nothing";
    EXPECT_TRUE(info_of(m).abandoned);
    CloseHandle(ev);
    CloseHandle(m);
}

TEST(Wait, WaitAnyReportsTheLowestSignalledIndex) {
    HANDLE h[4];
    for (auto& e : h) e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetEvent(h[3]);
    SetEvent(h[1]);
    EXPECT_EQ(WaitForMultipleObjects(4, h, FALSE, 0), WAIT_OBJECT_0 + 1);
    ResetEvent(h[1]);
    EXPECT_EQ(WaitForMultipleObjects(4, h, FALSE, 0), WAIT_OBJECT_0 + 3);
    HANDLE dup[3] = {h[0], h[2], h[2]};  // duplicates are fine without wait-all
    SetEvent(h[2]);
    EXPECT_EQ(WaitForMultipleObjects(3, dup, FALSE, 0), WAIT_OBJECT_0 + 1);

    std::atomic<DWORD> r{0xDEAD};
    ResetEvent(h[2]);
    ResetEvent(h[3]);
    std::thread t([&] { r = WaitForMultipleObjects(4, h, FALSE, 10000); });
    ASSERT_TRUE(wait_for_waiters(h[2], 1));
    SetEvent(h[2]);
    t.join();
    EXPECT_EQ(r.load(), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(info_of(h[0]).waiters, 0u) << "a granted wait leaves every queue";
    for (auto e : h) CloseHandle(e);
}

TEST(Wait, BadArgumentsFailClearly) {
    HANDLE ev = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    HANDLE many[65];
    for (auto& x : many) x = ev;
    struct Case {
        DWORD count;
        const HANDLE* handles;
        BOOL all;
        DWORD error;
    } cases[] = {
        {0, many, FALSE, ERROR_INVALID_PARAMETER},
        {65, many, FALSE, ERROR_INVALID_PARAMETER},
        {1, nullptr, FALSE, ERROR_INVALID_PARAMETER},
        {2, many, TRUE, ERROR_INVALID_PARAMETER},  // the same handle twice
    };
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_EQ(WaitForMultipleObjects(c.count, c.handles, c.all, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_EQ(WaitForMultipleObjects(64, many, FALSE, 0), WAIT_OBJECT_0);

    // Two handles on one named object are a duplicate as well.
    std::string name = unique_name("dup");
    HANDLE a = CreateEventA(nullptr, TRUE, TRUE, name.c_str());
    HANDLE b = OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
    HANDLE ab[2] = {a, b};
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(2, ab, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

    HANDLE closed = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    CloseHandle(closed);
    for (HANDLE bad : {HANDLE(nullptr), closed, INVALID_HANDLE_VALUE, GetCurrentThread(), HANDLE(uintptr_t(12345))}) {
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        HANDLE mixed[2] = {ev, bad};
        EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    }
    CloseHandle(a);
    CloseHandle(b);
    CloseHandle(ev);
}

TEST(Wait, WaitAllTakesEverythingAtOneMomentOrNothing) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE ev = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    HANDLE sem = CreateSemaphoreA(nullptr, 1, 1, nullptr);
    HANDLE set[3] = {m, ev, sem};
    HANDLE hold = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE held = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread owner([&] {
        WaitForSingleObject(m, 0);
        SetEvent(held);
        WaitForSingleObject(hold, 10000);
        ReleaseMutex(m);
    });
    ASSERT_EQ(WaitForSingleObject(held, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(3, set, TRUE, 30), WAIT_TIMEOUT);
    EXPECT_EQ(info_of(ev).signalled, true) << "the event must not be taken without the mutex";
    EXPECT_EQ(info_of(sem).count, 1);

    std::atomic<DWORD> r{0xDEAD};
    std::thread waiter([&] { r = WaitForMultipleObjects(3, set, TRUE, 10000); });
    ASSERT_TRUE(wait_for_waiters(m, 1));
    // A single waiter may take what the wait-all cannot use yet.
    EXPECT_EQ(WaitForSingleObject(sem, 0), WAIT_OBJECT_0);
    SetEvent(hold);
    owner.join();
    ASSERT_TRUE(wait_for_waiters(m, 1)) << "still short of the semaphore unit";
    EXPECT_EQ(r.load(), 0xDEADu);
    EXPECT_EQ(info_of(m).owner_tid, 0u);
    ReleaseSemaphore(sem, 1, nullptr);
    waiter.join();
    EXPECT_EQ(r.load(), WAIT_OBJECT_0);
    EXPECT_FALSE(info_of(ev).signalled);
    EXPECT_EQ(info_of(sem).count, 0);
    EXPECT_TRUE(info_of(m).abandoned) << "the waiter took it and ended owning it";
    for (HANDLE h : {m, ev, sem, hold, held}) CloseHandle(h);
}

TEST(Wait, WaitAllReportsAnAbandonedMutexByItsIndex) {
    HANDLE ev = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    std::thread([m] { WaitForSingleObject(m, 0); }).join();
    HANDLE set[2] = {ev, m};
    EXPECT_EQ(WaitForMultipleObjects(2, set, TRUE, 0), WAIT_ABANDONED_0 + 1);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0) << "abandonment is reported once";
    ReleaseMutex(m);
    ReleaseMutex(m);
    CloseHandle(ev);
    CloseHandle(m);
}

TEST(Wait, CompetingWaitAllsAndSingleWaitsNeverOverlap) {
    // Each round somebody holds both the mutex and the semaphore's only
    // unit, or one of them; a plain counter checks the exclusion.
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE sem = CreateSemaphoreA(nullptr, 1, 1, nullptr);
    HANDLE both[2] = {m, sem};
    std::atomic<int> in_m{0}, in_sem{0}, bad{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i] {
            for (int n = 0; n < 500; ++n) {
                bool all = (i + n) % 2 == 0;
                HANDLE one = i % 2 ? m : sem;
                ASSERT_EQ(all ? WaitForMultipleObjects(2, both, TRUE, 10000) : WaitForSingleObject(one, 10000),
                          WAIT_OBJECT_0);
                bool has_m = all || one == m, has_sem = all || one == sem;
                if (has_m && in_m.fetch_add(1) != 0) ++bad;
                if (has_sem && in_sem.fetch_add(1) != 0) ++bad;
                if (has_m) in_m.fetch_sub(1);
                if (has_sem) in_sem.fetch_sub(1);
                if (has_sem) ReleaseSemaphore(sem, 1, nullptr);
                if (has_m) ReleaseMutex(m);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(info_of(sem).count, 1);
    EXPECT_EQ(info_of(m).owner_tid, 0u);
    CloseHandle(m);
    CloseHandle(sem);
}

TEST(Wait, ClosingAHandleWhileAnotherThreadWaitsKeepsTheObjectAlive) {
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<DWORD> r{0xDEAD};
    std::thread t([&] { r = WaitForSingleObject(ev, 300); });
    ASSERT_TRUE(wait_for_waiters(ev, 1));
    uint32_t slot = info_of(ev).slot;
    EXPECT_TRUE(CloseHandle(ev));
    t.join();
    EXPECT_EQ(r.load(), WAIT_TIMEOUT);
    std::vector<zkx::win32::KernelObjectInfo> all;
    ASSERT_TRUE(zkx::win32::enumerate_kernel_objects(&all));
    for (const auto& o : all) EXPECT_NE(o.slot, slot) << "freed once the wait ended";
}
