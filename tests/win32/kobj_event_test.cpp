#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "kobj_test_util.h"

using namespace zkx::test;

namespace {

// Starts `n` threads that wait on `h` (up to `ms`) and count their results.
struct Waiters {
    std::vector<std::thread> threads;
    std::atomic<int> released{0}, timed_out{0};
    Waiters(HANDLE h, int n, DWORD ms) {
        for (int i = 0; i < n; ++i)
            threads.emplace_back([this, h, ms] {
                DWORD r = WaitForSingleObject(h, ms);
                (r == WAIT_OBJECT_0 ? released : timed_out)++;
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
    ASSERT_TRUE(autoev && manual);
    EXPECT_EQ(WaitForSingleObject(autoev, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoev, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

    Waiters w(autoev, 3, 10000);
    ASSERT_TRUE(wait_for_waiters(autoev, 3));
    EXPECT_TRUE(SetEvent(autoev));
    ASSERT_TRUE(eventually([&] { return w.released == 1; }));
    EXPECT_EQ(info_of(autoev).waiters, 2u);
    EXPECT_TRUE(SetEvent(autoev));
    EXPECT_TRUE(SetEvent(autoev));
    w.join();
    EXPECT_EQ(w.released.load(), 3);
    EXPECT_EQ(WaitForSingleObject(autoev, 0), WAIT_TIMEOUT) << "every set was consumed by a waiter";
    CloseHandle(autoev);
    CloseHandle(manual);
}

TEST(Event, PulseReleasesOnlyThreadsAlreadyWaiting) {
    // Manual reset: every waiter goes, and the event is left reset.
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Waiters all(manual, 3, 10000);
    ASSERT_TRUE(wait_for_waiters(manual, 3));
    EXPECT_TRUE(PulseEvent(manual));
    all.join();
    EXPECT_EQ(all.released.load(), 3);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

    // Auto reset: exactly one goes.
    HANDLE autoev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    Waiters one(autoev, 3, 10000);
    ASSERT_TRUE(wait_for_waiters(autoev, 3));
    EXPECT_TRUE(PulseEvent(autoev));
    ASSERT_TRUE(eventually([&] { return one.released == 1; }));
    EXPECT_EQ(info_of(autoev).waiters, 2u);
    EXPECT_EQ(WaitForSingleObject(autoev, 0), WAIT_TIMEOUT);
    SetEvent(autoev);
    SetEvent(autoev);
    one.join();
    EXPECT_EQ(one.released.load(), 3);

    // Nobody waiting: the pulse is lost, also on a signalled event.
    for (HANDLE h : {manual, autoev}) {
        EXPECT_TRUE(PulseEvent(h));
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
        SetEvent(h);
        EXPECT_TRUE(PulseEvent(h));
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    }
    CloseHandle(manual);
    CloseHandle(autoev);
}

TEST(Event, PulseDoesNotReleaseAWaitAllThatCannotTakeEverything) {
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE other = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE both[2] = {ev, other};
    std::atomic<DWORD> result{0xDEAD};
    std::thread t([&] { result = WaitForMultipleObjects(2, both, TRUE, 10000); });
    ASSERT_TRUE(wait_for_waiters(ev, 1));
    PulseEvent(ev);
    SetEvent(other);
    // The pulse is over: the wait-all must still be waiting for ev.
    ASSERT_TRUE(wait_for_waiters(ev, 1));
    EXPECT_EQ(result.load(), 0xDEADu);
    SetEvent(ev);
    t.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    CloseHandle(ev);
    CloseHandle(other);
}

TEST(Event, OperationsOnWrongHandlesFailWithInvalidHandle) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    for (HANDLE h : {HANDLE(nullptr), mutex, INVALID_HANDLE_VALUE, HANDLE(uintptr_t(0x4000))}) {
        SetLastError(0);
        EXPECT_FALSE(SetEvent(h));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(ResetEvent(h));
        EXPECT_FALSE(PulseEvent(h));
    }
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    CloseHandle(ev);
    EXPECT_FALSE(SetEvent(ev));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(ev));
    CloseHandle(mutex);
}
