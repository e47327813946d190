#include <tuple>

#include "kobj_test_util.h"
#include "test_util.h"

using namespace zkx::test;

TEST(Wait, TimeoutsAndResults) {
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    EXPECT_LT(elapsed_ms(start), 1000);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(ev, 60), WAIT_TIMEOUT);
    EXPECT_GE(elapsed_ms(start), 55);
    EXPECT_LT(elapsed_ms(start), 5000);

    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    std::thread([m] { WaitForSingleObject(m, 0); }).join();  // ends owning it
    HANDLE two[2] = {ev, m};
    EXPECT_EQ(WaitForMultipleObjects(2, two, TRUE, 40), WAIT_TIMEOUT);
    EXPECT_TRUE(info_of(m).abandoned) << "a wait-all that timed out took nothing";
    SetEvent(ev);
    // A wait-all says that a mutex was abandoned, not which one.
    EXPECT_EQ(WaitForMultipleObjects(2, two, TRUE, 0), WAIT_ABANDONED_0);
    EXPECT_EQ(WaitForMultipleObjects(2, two, FALSE, 0), WAIT_OBJECT_0 + 1) << "abandonment is reported once";
    ReleaseMutex(m);
    EXPECT_TRUE(ReleaseMutex(m));
    for (HANDLE h : two) CloseHandle(h);
}

TEST(Wait, WaitAnyReportsTheLowestSignalledIndex) {
    HANDLE h[4];
    for (auto& e : h) e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetEvent(h[3]);
    SetEvent(h[1]);
    EXPECT_EQ(WaitForMultipleObjects(4, h, FALSE, 0), WAIT_OBJECT_0 + 1);
    HANDLE dup[3] = {h[0], h[2], h[2]};  // duplicates are fine without wait-all
    SetEvent(h[2]);
    EXPECT_EQ(WaitForMultipleObjects(3, dup, FALSE, 0), WAIT_OBJECT_0 + 1);

    ResetEvent(h[1]);
    ResetEvent(h[2]);
    auto r = wait_apart([&] { return WaitForMultipleObjects(3, h, FALSE, 10000); });
    ASSERT_TRUE(wait_for_waiters(h[2], 1));
    SetEvent(h[2]);
    EXPECT_EQ(r.get(), WAIT_OBJECT_0 + 2);
    EXPECT_WAITERS(h[0], 0);  // a granted wait leaves every queue
    for (auto e : h) CloseHandle(e);
}

TEST(Wait, BadArgumentsFailClearly) {
    HANDLE ev = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    HANDLE many[MAXIMUM_WAIT_OBJECTS + 1];
    for (auto& x : many) x = ev;
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many, FALSE, 0), WAIT_OBJECT_0);
    std::string name = unique_name("dup");
    HANDLE same[2] = {CreateEventA(nullptr, TRUE, TRUE, name.c_str()), OpenEventA(SYNCHRONIZE, FALSE, name.c_str())};
    using Call = std::tuple<DWORD, const HANDLE*, BOOL>;  // count, handles, wait-all
    for (auto [count, handles, all] : {Call{0, many, FALSE}, Call{MAXIMUM_WAIT_OBJECTS + 1, many, FALSE},
                                       Call{1, nullptr, FALSE}, Call{2, many, TRUE}, Call{2, same, TRUE}}) {
        if (!handles && windows_faults_on("WaitForMultipleObjects reads a null handle array")) continue;
        if (all && wine_departs("a wait-all on one object twice is granted")) continue;
        SetLastError(0);
        EXPECT_FAILS(WaitForMultipleObjects(count, handles, all, 0), ERROR_INVALID_PARAMETER);
    }
    HANDLE closed = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    CloseHandle(closed);
    for (HANDLE bad : {HANDLE(nullptr), closed, HANDLE(uintptr_t(12345))}) {
        SetLastError(0);
        EXPECT_FAILS(WaitForSingleObject(bad, 0), ERROR_INVALID_HANDLE);
        HANDLE mixed[2] = {ev, bad};
        EXPECT_FAILS(WaitForMultipleObjects(2, mixed, FALSE, 0), ERROR_INVALID_HANDLE);
    }
    // The calling process and thread cannot end while it waits on them.
    for (HANDLE self : {GetCurrentProcess(), GetCurrentThread()}) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(WaitForSingleObject(self, 30), WAIT_TIMEOUT);
        EXPECT_GE(elapsed_ms(start), 25);
    }
    for (HANDLE h : {ev, same[0], same[1]}) CloseHandle(h);
}

TEST(Wait, WaitAllTakesEverythingAtOneMomentOrNothing) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE ev = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    HANDLE sem = CreateSemaphoreA(nullptr, 1, 1, nullptr);
    HANDLE set[3] = {m, ev, sem};
    HANDLE hold = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread owner([&] {
        WaitForSingleObject(m, 0);
        WaitForSingleObject(hold, 10000);
        ReleaseMutex(m);
    });
    ASSERT_TRUE(wait_until([&] { return info_of(m).owner_tid != 0; }));
    EXPECT_EQ(WaitForMultipleObjects(3, set, TRUE, 30), WAIT_TIMEOUT);
    EXPECT_TRUE(info_of(ev).signalled) << "the event must not be taken without the mutex";
    EXPECT_EQ(info_of(sem).count, 1);

    auto r = wait_apart([&] { return WaitForMultipleObjects(3, set, TRUE, 10000); });
    ASSERT_TRUE(wait_for_waiters(m, 1));
    EXPECT_EQ(WaitForSingleObject(sem, 0), WAIT_OBJECT_0) << "others may take what the wait-all cannot use yet";
    SetEvent(hold);
    owner.join();
    ASSERT_TRUE(wait_for_waiters(m, 1)) << "still short of the semaphore unit";
    EXPECT_EQ(info_of(m).owner_tid, 0u);
    ReleaseSemaphore(sem, 1, nullptr);
    EXPECT_EQ(r.get(), WAIT_OBJECT_0);
    EXPECT_FALSE(info_of(ev).signalled);
    EXPECT_EQ(info_of(sem).count, 0);
    EXPECT_TRUE(info_of(m).abandoned) << "the waiter took it and ended owning it";
    for (HANDLE h : {m, ev, sem, hold}) CloseHandle(h);
}

TEST(Wait, ClosingAHandleWhileAnotherThreadWaitsKeepsTheObjectAlive) {
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    auto r = wait_apart([&] { return WaitForSingleObject(ev, 300); });
    ASSERT_TRUE(wait_for_waiters(ev, 1));
    uint32_t slot = info_of(ev).slot;
    EXPECT_TRUE(CloseHandle(ev));
    EXPECT_EQ(r.get(), WAIT_TIMEOUT);
    std::vector<zkx::win32::KernelObjectInfo> all;
    ASSERT_TRUE(zkx::win32::enumerate_kernel_objects(&all));
    for (const auto& o : all) EXPECT_NE(o.slot, slot) << "freed once the wait ended";
}
