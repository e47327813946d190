// Named objects shared by real processes: the test binary started again as
// a child.
#include "kobj_test_util.h"
#include "test_util.h"

using namespace zkx::test;

namespace {

[[noreturn]] void hang() {
    for (;;) Sleep(60000);
}

// Named manual-reset event the parent and a child use to say "ready".
HANDLE flag(const std::string& name) { return CreateEventA(nullptr, TRUE, FALSE, name.c_str()); }

}  // namespace

ZKX_CHILD(wait_event) {
    HANDLE h = OpenEventA(SYNCHRONIZE, FALSE, args.at(0).c_str());
    return h && WaitForSingleObject(h, 20000) == WAIT_OBJECT_0 ? 0 : 1;
}

ZKX_CHILD(create_objects_and_hang) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, args.at(0).c_str());
    HANDLE m = CreateMutexA(nullptr, TRUE, (args.at(0) + "-m").c_str());
    if (!e || !m || GetLastError() != 0) return 1;
    SetEvent(flag(args.at(1)));
    hang();
}

// Takes the mutexes named after "ready", says so, and stays until killed.
ZKX_CHILD(hold_mutexes) {
    for (size_t i = 1; i < args.size(); ++i) {
        HANDLE m = OpenMutexA(SYNCHRONIZE, FALSE, args[i].c_str());
        if (!m || WaitForSingleObject(m, 20000) != WAIT_OBJECT_0) return 1;
    }
    SetEvent(flag(args.at(0)));
    hang();
}

// Waits for the mutex and the auto-reset event at once and keeps the mutex.
// The mutex comes first: a wait-all reports WAIT_ABANDONED_0 whichever
// mutex was abandoned.
ZKX_CHILD(wait_all_for_abandoned) {
    HANDLE set[2] = {OpenMutexA(SYNCHRONIZE, FALSE, args.at(0).c_str()),
                     OpenEventA(SYNCHRONIZE, FALSE, args.at(1).c_str())};
    if (!set[0] || !set[1]) return 1;
    if (WaitForMultipleObjects(2, set, TRUE, 30000) != WAIT_ABANDONED_0 + 0) return 2;
    return ReleaseMutex(set[0]) ? 0 : 3;
}

// Busy with every kind of change, so that a kill lands inside the
// namespace lock sooner or later.
ZKX_CHILD(churn) {
    HANDLE shared = OpenMutexA(SYNCHRONIZE, FALSE, args.at(0).c_str());
    HANDLE sem = OpenSemaphoreA(SYNCHRONIZE, FALSE, (args.at(0) + "-s").c_str());
    SetEvent(flag(args.at(1)));
    for (unsigned n = 0;; ++n) {
        std::string name = args.at(0) + "-" + std::to_string(n % 7);
        HANDLE e = CreateEventA(nullptr, n % 2, FALSE, name.c_str());
        HANDLE u = CreateSemaphoreA(nullptr, 0, 5, nullptr);
        HANDLE set[3] = {shared, sem, e};
        WaitForMultipleObjects(3, set, n % 3 == 0, 0);
        WaitForSingleObject(shared, 0);
        SetEvent(e);
        PulseEvent(e);
        ReleaseSemaphore(u, 2, nullptr);
        WaitForMultipleObjects(2, set, TRUE, 1);
        ReleaseMutex(shared);
        ReleaseMutex(shared);
        ReleaseSemaphore(sem, 1, nullptr);
        CloseHandle(e);
        CloseHandle(u);
    }
}

// The owner holds two mutexes when it is killed: a thread here waits for one
// alone, another process for the other together with an auto-reset event.
TEST(Process, AMutexOfAKilledOwnerGoesToTheWaiterAsAbandoned) {
    std::string name = unique_name("kmtx");
    HANDLE m = CreateMutexA(nullptr, FALSE, name.c_str()), alone = CreateMutexA(nullptr, FALSE, (name + "-1").c_str());
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, (name + "-ev").c_str()), ready = flag(name + "-ready");
    pid_t owner = spawn_child("hold_mutexes", {name + "-ready", name, name + "-1"});
    ASSERT_EQ(WaitForSingleObject(ready, 20000), WAIT_OBJECT_0);

    std::atomic<bool> released{false};
    auto r = wait_apart([&] {
        DWORD result = WaitForSingleObject(alone, 20000);
        released = ReleaseMutex(alone);
        return result;
    });
    pid_t all = spawn_child("wait_all_for_abandoned", {name, name + "-ev"});
    ASSERT_TRUE(wait_for_waiters(alone, 1) && wait_for_waiters(m, 1) && wait_for_waiters(ev, 1));
    auto killed = std::chrono::steady_clock::now();
    kill_child(owner);
    EXPECT_EQ(r.get(), WAIT_ABANDONED);
    EXPECT_LT(elapsed_ms(killed), 3000) << "noticed promptly";
    EXPECT_TRUE(released.load()) << "the waiter became the owner";
    EXPECT_EQ(wait_child(owner), kKilledStatus);

    // The mutex is free now, but the wait-all needs the event as well.
    int status = -1;
    EXPECT_FALSE(wait_until([&] { return child_exited(all, &status); }, 300)) << status;
#ifndef _WIN32  // the layer's diagnostics
    EXPECT_TRUE(info_of(m).abandoned);
    EXPECT_EQ(info_of(m).owner_tid, 0u);
    EXPECT_WAITERS(m, 1);
#endif
    EXPECT_TRUE(SetEvent(ev));
    EXPECT_EQ(wait_child(all), 0) << "1: no handles, 2: not WAIT_ABANDONED_0, 3: the mutex was not its own";
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT) << "the wait-all took the event's signal";
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0) << "released, and abandoned only once";
    for (HANDLE h : {m, alone, ev, ready}) CloseHandle(h);
}

TEST(Process, AKilledProcessGivesUpItsHandlesAndItsWaits) {
    std::string name = unique_name("kobjs");
    HANDLE ready = flag(name + "-ready");
    pid_t child = spawn_child("create_objects_and_hang", {name, name + "-ready"});
    ASSERT_EQ(WaitForSingleObject(ready, 20000), WAIT_OBJECT_0);
    ASSERT_TRUE(CloseHandle(OpenEventA(SYNCHRONIZE, FALSE, name.c_str())));
    kill_child(child);
    EXPECT_EQ(wait_child(child), kKilledStatus);
    SetLastError(0);
    EXPECT_FAILS(OpenEventA(SYNCHRONIZE, FALSE, name.c_str()), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, (name + "-m").c_str()), nullptr);
#ifndef _WIN32  // the layer's diagnostics: nothing of the dead owner is left
    std::vector<zkx::win32::KernelObjectInfo> all;
    ASSERT_TRUE(zkx::win32::enumerate_kernel_objects(&all));
    for (const auto& o : all) EXPECT_EQ(o.name.find(name + "-m"), std::string::npos) << o.name;
#endif

    // A killed waiter must not swallow an auto-reset signal meant for a
    // live waiter queued behind it (a thread: a process starting would sweep
    // the dead one out of the queue first).
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, (name + "-ev").c_str());
    child = spawn_child("wait_event", {name + "-ev"});
    ASSERT_TRUE(wait_for_waiters(ev, 1));
    kill_child(child);
    EXPECT_EQ(wait_child(child), kKilledStatus);
    auto r = wait_apart([&] { return WaitForSingleObject(ev, 20000); });
    ASSERT_TRUE(wait_for_waiters(ev, 2));
    SetEvent(ev);
    EXPECT_EQ(r.get(), WAIT_OBJECT_0);
    // A pulse reaches a waiter in another process too (a set does in the
    // killed owner's case).
    child = spawn_child("wait_event", {name + "-ev"});
    ASSERT_TRUE(wait_for_waiters(ev, 1));
    EXPECT_TRUE(PulseEvent(ev));
    EXPECT_EQ(wait_child(child), 0);
    for (HANDLE h : {ev, ready}) CloseHandle(h);
}

TEST(Process, AProcessKilledInsideTheNamespaceLockLeavesItConsistent) {
    std::string name = unique_name("churn");
    HANDLE shared = CreateMutexA(nullptr, FALSE, name.c_str());
    HANDLE sem = CreateSemaphoreA(nullptr, 0, 1000000, (name + "-s").c_str());
    HANDLE ready = flag(name + "-ready");
    for (int round = 0; round < 6; ++round) {
        ResetEvent(ready);
        pid_t child = spawn_child("churn", {name, name + "-ready"});
        ASSERT_EQ(WaitForSingleObject(ready, 20000), WAIT_OBJECT_0);
        Sleep(2 + round * 3);
        kill_child(child);
        EXPECT_EQ(wait_child(child), kKilledStatus);

        // Whatever it was doing, the namespace works and holds nothing of it.
        DWORD r = WaitForSingleObject(shared, 5000);
        EXPECT_TRUE(r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) << r;
        EXPECT_TRUE(ReleaseMutex(shared));
#ifndef _WIN32  // the layer's diagnostics: no waiter, owner or object of the child is left
        std::vector<zkx::win32::KernelObjectInfo> all;
        ASSERT_TRUE(zkx::win32::enumerate_kernel_objects(&all));
        for (const auto& o : all) {
            EXPECT_EQ(o.waiters, 0u) << o.name;
            EXPECT_EQ(o.owner_tid, 0u) << o.name;
            EXPECT_TRUE(o.name.empty() || o.name.rfind(name, 0) != 0 || o.name == name ||
                        o.name == name + "-s" || o.name == name + "-ready")
                << "left behind: " << o.name;
        }
#endif
        HANDLE probe = CreateEventA(nullptr, FALSE, TRUE, (name + "-0").c_str());
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
        EXPECT_EQ(WaitForSingleObject(probe, 0), WAIT_OBJECT_0);
        CloseHandle(probe);
    }
    for (HANDLE h : {shared, sem, ready}) CloseHandle(h);
}

#ifndef _WIN32  // the layer's own extension
// Comes in as a holder of the tracked semaphore: two units and the zero
// event reset, under the guard, then stays inside until killed.
ZKX_CHILD(hold_units) {
    const std::string& name = args.at(0);
    HANDLE m = OpenMutexA(SYNCHRONIZE, FALSE, (name + "-m").c_str());
    HANDLE s = OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, (name + "-s").c_str());
    HANDLE e = OpenEventA(EVENT_MODIFY_STATE, FALSE, (name + "-e").c_str());
    if (!m || !s || !e || !zkx_semaphore_track_holders(s, m, e)) return 1;
    if (WaitForSingleObject(m, 20000) != WAIT_OBJECT_0) return 2;
    ReleaseSemaphore(s, 2, nullptr);
    ResetEvent(e);
    ReleaseMutex(m);
    SetEvent(flag(args.at(1)));
    hang();
}

TEST(Process, ATrackedSemaphoreTakesADeadHoldersUnitsBackOnlyOnceItsGuardIsFree) {
    std::string name = unique_name("held");
    HANDLE m = CreateMutexA(nullptr, FALSE, (name + "-m").c_str());
    HANDLE s = CreateSemaphoreA(nullptr, 0, 100, (name + "-s").c_str());
    HANDLE e = CreateEventA(nullptr, TRUE, TRUE, (name + "-e").c_str());
    HANDLE other = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_TRUE(zkx_semaphore_track_holders(s, m, e));
    EXPECT_TRUE(zkx_semaphore_track_holders(s, m, e)) << "saying it again is harmless";
    EXPECT_FAILS(zkx_semaphore_track_holders(s, other, e), ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(zkx_semaphore_track_holders(e, m, s), ERROR_INVALID_HANDLE);

    HANDLE ready = flag(name + "-ready");
    pid_t child = spawn_child("hold_units", {name, name + "-ready"});
    ASSERT_EQ(WaitForSingleObject(ready, 20000), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ReleaseSemaphore(s, 1, nullptr)) << "this process holds a unit of its own";
    kill_child(child);
    EXPECT_EQ(wait_child(child), kKilledStatus);
    // While a live thread holds the guard it may be half-way through a
    // step, so the dead holder's units stay counted...
    EXPECT_EQ(WaitForSingleObject(e, 100), WAIT_TIMEOUT);
    EXPECT_EQ(info_of(s).count, 3);
    // ...until it lets go.  Only the dead process's units go; the count is
    // not zero, so the event stays reset.
    ASSERT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(info_of(s).count, 1);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
    for (HANDLE h : {m, s, e, other, ready}) CloseHandle(h);
}
#endif
