// Events, mutexes, semaphores and the waits on them within one process.
#include <tuple>

#include "kobj_test_util.h"

using namespace zkx::test;

TEST(Event, SetAndPulseReleaseOneWaiterOfAnAutoResetEventAndAllOfAManualOne) {
    HANDLE autoev = CreateEventA(nullptr, FALSE, TRUE, nullptr), manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(autoev, 0), WAIT_OBJECT_0) << "the initial state counts";
    SetLastError(0);
    EXPECT_FAILS(SetEvent(CreateMutexA(nullptr, FALSE, nullptr)), ERROR_INVALID_HANDLE);

    // Only a set manual-reset event stays set; a pulse leaves either kind
    // reset, and the waiters it released are the only ones it releases.
    for (HANDLE h : {autoev, manual}) {
        for (bool pulse : {false, true}) {
            std::atomic<int> released{0};
            std::vector<std::thread> waiters;
            for (int i = 0; i < 3; ++i)
                waiters.emplace_back([&] { released += WaitForSingleObject(h, 10000) == WAIT_OBJECT_0; });
            ASSERT_TRUE(wait_for_waiters(h, 3));
            EXPECT_TRUE(pulse ? PulseEvent(h) : SetEvent(h));
            ASSERT_TRUE(wait_until([&] { return released == (h == manual ? 3 : 1); })) << pulse;
            EXPECT_WAITERS(h, h == manual ? 0 : 2);
            EXPECT_EQ(WaitForSingleObject(h, 0), h == manual && !pulse ? WAIT_OBJECT_0 : WAIT_TIMEOUT) << pulse;
            for (int i = 0; i < 2 && h == autoev; ++i) SetEvent(h);
            for (auto& t : waiters) t.join();
            EXPECT_EQ(released.load(), 3);
            ResetEvent(h);
        }
        // Nobody waiting: the pulse is lost, and a set event ends up reset.
        SetEvent(h);
        EXPECT_TRUE(PulseEvent(h));
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    }
}

// Three releases end the recursion of three takes, and a refused release
// by another thread takes none of them away.
TEST(Mutex, OwnershipIsRecursivePerThreadAndOnlyTheOwnerReleases) {
    HANDLE m = CreateMutexA(nullptr, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    SetLastError(ERROR_ALREADY_EXISTS);
    std::thread([m] {
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS)) << "each thread has a last error of its own";
        EXPECT_EQ(WaitForSingleObject(m, 30), WAIT_TIMEOUT);
        EXPECT_FAILS(ReleaseMutex(m), ERROR_NOT_OWNER);
    }).join();
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(ReleaseMutex(m)) << i;
    EXPECT_FAILS(ReleaseMutex(m), ERROR_NOT_OWNER);
    std::thread([m] { EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0); }).join();
}

TEST(Semaphore, CountsStayWithinZeroAndTheMaximum) {
    for (auto counts : {std::pair<LONG, LONG>{-1, 5}, {6, 5}, {0, 0}}) {
        SetLastError(0);
        EXPECT_FAILS(CreateSemaphoreA(nullptr, counts.first, counts.second, nullptr), ERROR_INVALID_PARAMETER);
    }
    HANDLE s = CreateSemaphoreA(nullptr, 2, 3, nullptr);
    for (DWORD expected : std::vector<DWORD>{WAIT_OBJECT_0, WAIT_OBJECT_0, WAIT_TIMEOUT})
        EXPECT_EQ(WaitForSingleObject(s, 0), expected);
    LONG prev = -1;
    EXPECT_TRUE(ReleaseSemaphore(s, 2, &prev));
    EXPECT_EQ(prev, 0);
    EXPECT_FAILS(ReleaseSemaphore(s, 2, &prev), ERROR_TOO_MANY_POSTS);
    EXPECT_FAILS(ReleaseSemaphore(s, 0x7FFFFFFF, nullptr), ERROR_TOO_MANY_POSTS);
    if (!wine_departs("ReleaseSemaphore accepts a count of 0")) {
        EXPECT_FAILS(ReleaseSemaphore(s, 0, nullptr), ERROR_INVALID_PARAMETER);
    }
    EXPECT_TRUE(ReleaseSemaphore(s, 1, &prev));
    EXPECT_EQ(prev, 2) << "the refused releases changed nothing";

    LONG v = 5;  // the interlocked calls return the new value, or the old one
    EXPECT_EQ(InterlockedIncrement(&v), 6);
    EXPECT_EQ(InterlockedDecrement(&v), 5);
    EXPECT_EQ(InterlockedExchange(&v, 9), 5);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 8), 9);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 9), 9);
    EXPECT_EQ(v, 1);
}

TEST(Wait, TimeoutsAndResults) {
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
#ifndef _WIN32  // Windows leaves a wait on a handle closed meanwhile undefined
    // Closing the handle while another thread waits keeps the object until
    // the wait ends, and no longer.
    HANDLE gone = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    auto start = std::chrono::steady_clock::now();
    auto r = wait_apart([&] { return WaitForSingleObject(gone, 200); });
    ASSERT_TRUE(wait_for_waiters(gone, 1));
    uint32_t slot = info_of(gone).slot;
    EXPECT_TRUE(CloseHandle(gone));
    EXPECT_EQ(r.get(), WAIT_TIMEOUT);
    EXPECT_GE(elapsed_ms(start), 195);
    EXPECT_LT(elapsed_ms(start), 5000);
    std::vector<zkx::win32::KernelObjectInfo> all;
    ASSERT_TRUE(zkx::win32::enumerate_kernel_objects(&all));
    for (const auto& o : all) EXPECT_NE(o.slot, slot) << "freed once the wait ended";
#endif

    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    std::thread([m] { WaitForSingleObject(m, 0); }).join();  // ends owning it
    HANDLE two[2] = {ev, m};
    EXPECT_EQ(WaitForMultipleObjects(2, two, TRUE, 40), WAIT_TIMEOUT);
    EXPECT_TRUE(info_of(m).abandoned) << "a wait-all that timed out took nothing";
    SetEvent(ev);
    // A wait-all says that a mutex was abandoned, not which one.
    EXPECT_EQ(WaitForMultipleObjects(2, two, TRUE, 0), WAIT_ABANDONED_0);
    EXPECT_EQ(WaitForMultipleObjects(2, two, FALSE, 0), WAIT_OBJECT_0 + 1) << "abandonment is reported once";
    SetEvent(ev);
    EXPECT_EQ(WaitForMultipleObjects(2, two, FALSE, 0), WAIT_OBJECT_0) << "the lowest index of those signalled";
    ReleaseMutex(m);
    EXPECT_TRUE(ReleaseMutex(m));
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
    EXPECT_FAILS(CloseHandle(closed), ERROR_INVALID_HANDLE);
    for (HANDLE bad : {HANDLE(nullptr), closed, HANDLE(uintptr_t(12345)), HANDLE(uintptr_t(1) << 40)}) {
        SetLastError(0);
        EXPECT_FAILS(WaitForSingleObject(bad, 0), ERROR_INVALID_HANDLE);
        HANDLE mixed[2] = {ev, bad};
        EXPECT_FAILS(WaitForMultipleObjects(2, mixed, FALSE, 0), ERROR_INVALID_HANDLE);
    }
    // The calling process and thread cannot end while it waits on them.
    for (HANDLE self : {GetCurrentProcess(), GetCurrentThread()}) EXPECT_EQ(WaitForSingleObject(self, 0), WAIT_TIMEOUT);
}

TEST(Wait, WaitAllTakesEverythingAtOneMomentOrNothing) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr), hold = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE ev = CreateEventA(nullptr, FALSE, TRUE, nullptr), sem = CreateSemaphoreA(nullptr, 1, 1, nullptr);
    HANDLE set[3] = {m, ev, sem};
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
    const auto released = std::chrono::steady_clock::now();
    EXPECT_EQ(r.get(), WAIT_OBJECT_0);
    EXPECT_LT(elapsed_ms(released), 5000) << "woken by the release, not by its own timeout";
    EXPECT_FALSE(info_of(ev).signalled);
    EXPECT_EQ(info_of(sem).count, 0);
}
