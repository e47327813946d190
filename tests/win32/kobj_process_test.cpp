// Named objects shared by real processes (the test binary started again as
// a child), and wait-alls racing the changes of their objects.
#include "kobj_test_util.h"

using namespace zkx::test;

// Named manual-reset event the parent and a child use to say "ready".
static HANDLE flag(const std::string& name) { return CreateEventA(nullptr, TRUE, FALSE, name.c_str()); }

// How long a child that should be killed stays: a test that fails before
// it kills the child must not leave it behind.
constexpr DWORD kUntilKilled = 60000;

ZKX_CHILD(wait_event) {
    HANDLE h = OpenEventA(SYNCHRONIZE, FALSE, args.at(0).c_str());
    return h && WaitForSingleObject(h, 20000) == WAIT_OBJECT_0 ? 0 : 1;
}

// Takes the mutexes named after "ready", says so, and stays until killed.
ZKX_CHILD(hold_mutexes) {
    for (size_t i = 1; i < args.size(); ++i) {
        HANDLE m = OpenMutexA(SYNCHRONIZE, FALSE, args[i].c_str());
        if (!m || WaitForSingleObject(m, 20000) != WAIT_OBJECT_0) return 1;
    }
    SetEvent(flag(args.at(0)));
    Sleep(kUntilKilled);
    return 0;
}

// Waits for the mutex and the auto-reset event at once and keeps the mutex.
// The mutex comes first: a wait-all reports WAIT_ABANDONED_0 whichever
// mutex was abandoned.
ZKX_CHILD(wait_all_for_abandoned) {
    HANDLE set[2] = {OpenMutexA(SYNCHRONIZE, FALSE, args.at(0).c_str()),
                     OpenEventA(SYNCHRONIZE, FALSE, args.at(1).c_str())};
    if (WaitForMultipleObjects(2, set, TRUE, 30000) != WAIT_ABANDONED_0 + 0) return 1;
    return ReleaseMutex(set[0]) ? 0 : 2;
}

// First a killed waiter: it must not swallow an auto-reset signal meant for
// a live waiter queued behind it (a thread: a process starting would sweep
// the dead one out of the queue first).  Then the owner holds two mutexes
// when it is killed: a thread here waits for one alone, another process for
// the other together with the auto-reset event.
TEST(Process, AMutexOfAKilledOwnerGoesToTheWaiterAsAbandoned) {
    std::string name = unique_name("kmtx");
    HANDLE m = CreateMutexA(nullptr, FALSE, name.c_str()), alone = CreateMutexA(nullptr, FALSE, (name + "-1").c_str());
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, (name + "-ev").c_str()), ready = flag(name + "-ready");
    pid_t waiter = spawn_child("wait_event", {name + "-ev"});
    ASSERT_TRUE(wait_for_waiters(ev, 1));
    kill_child(waiter);
    EXPECT_EQ(wait_child(waiter), kKilledStatus);
    auto first = wait_apart([&] { return WaitForSingleObject(ev, 20000); });
    ASSERT_TRUE(wait_for_waiters(ev, 2));
    SetEvent(ev);
    EXPECT_EQ(first.get(), WAIT_OBJECT_0);
    EXPECT_WAITERS(ev, 0);  // the set that passed the dead waiter by swept it out

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
    EXPECT_TRUE(SetEvent(ev));
    EXPECT_EQ(wait_child(all), 0) << "1: not WAIT_ABANDONED_0, 2: the mutex was not its own";
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT) << "the wait-all took the event's signal";
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0) << "released, and abandoned only once";
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
    Sleep(kUntilKilled);
    return 0;
}

TEST(Process, ATrackedSemaphoreTakesADeadHoldersUnitsBackOnlyOnceItsGuardIsFree) {
    std::string name = unique_name("held");
    HANDLE m = CreateMutexA(nullptr, FALSE, (name + "-m").c_str());
    HANDLE s = CreateSemaphoreA(nullptr, 0, 100, (name + "-s").c_str());
    HANDLE e = CreateEventA(nullptr, TRUE, TRUE, (name + "-e").c_str());
    ASSERT_TRUE(zkx_semaphore_track_holders(s, m, e));
    EXPECT_FAILS(zkx_semaphore_track_holders(s, CreateMutexA(nullptr, FALSE, nullptr), e), ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(zkx_semaphore_track_holders(e, m, s), ERROR_INVALID_HANDLE);

    // The child says it again: that is harmless.
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
}
#endif

// --- Wait-alls racing the changes of their objects: uncontended turns take
// the lock-free path, blocked ones the locked path, and both must keep
// wait-all exact.  Units are released while wait-alls and lone waits race
// for them, and the gate closed and opened under them: every unit is taken
// exactly once, no wait-all gets in while the gate is reset, and the mutex
// stays exclusive.
TEST(WaitAllRace, UnitsAreTakenOnceAndNeverThroughAResetGate) {
    // The set: the semaphore, then the gate "<base>-1", reset and set again
    // during the race.  `closed` is set under the mutex while the gate is
    // reset; `stop` ends the race.
    WaitAllSet set(unique_name("race"), CreateSemaphoreA(nullptr, 0, 1 << 20, nullptr));
    HANDLE closed = CreateEventA(nullptr, TRUE, FALSE, nullptr), stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(set.complete() && closed && stop);
    HANDLE sem = set.first(), gate = set.set[1], mutex = set.mutex();
    std::atomic<long> taken{0};
    std::atomic<int> inside{0}, overlaps{0}, failures{0};
    // The drainers take units by wait-alls until `stop` is set and a wait-all
    // times out.  Mostly zero timeouts, so that no thread queues and the
    // turns stay on the lock-free path; some block.  A wait-all that sees the
    // gate marked closed was granted while the gate was reset.
    std::vector<std::thread> drainers;
    for (int i = 0; i < 3; ++i)
        drainers.emplace_back([&] {
            for (unsigned n = 0;; ++n) {
                DWORD r = WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, set.set, TRUE, n % 64 == 0 ? 20 : 0);
                if (r == WAIT_OBJECT_0) {
                    ++taken;
                    overlaps += inside.fetch_add(1) != 0;
                    std::this_thread::yield();
                    inside.fetch_sub(1);
                    failures += WaitForSingleObject(closed, 0) == WAIT_OBJECT_0 || !ReleaseMutex(mutex);
                } else if (r != WAIT_TIMEOUT || WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) {
                    failures += r != WAIT_TIMEOUT;
                    return;
                }
            }
        });
    // The closer resets the gate, then marks it closed under the mutex, and
    // undoes both in the reverse order.
    long cycles = 0;
    std::thread closer([&] {
        for (; WaitForSingleObject(stop, 0) == WAIT_TIMEOUT; ++cycles) {
            ResetEvent(gate);
            if (WaitForSingleObject(mutex, 5000) != WAIT_OBJECT_0) return;
            SetEvent(closed);
            ReleaseMutex(mutex);
            if (WaitForSingleObject(mutex, 5000) != WAIT_OBJECT_0) return;
            ResetEvent(closed);
            SetEvent(gate);
            ReleaseMutex(mutex);
        }
    });
    // Releases in a tight loop and takes back what goes beyond a few units,
    // so that every change races a wait-all.
    long released = 0;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(700);
         std::chrono::steady_clock::now() < end;) {
        LONG n = LONG(1 + released % 3), previous = -1;
        bool ok = ReleaseSemaphore(sem, n, &previous) && previous >= 0;
        EXPECT_TRUE(ok) << GetLastError();
        if (!ok) break;
        released += n;
        for (LONG extra = previous + n - 4; extra > 0 && WaitForSingleObject(sem, 0) == WAIT_OBJECT_0; --extra)
            ++taken;
    }
    SetEvent(stop);
    closer.join();
    for (auto& t : drainers) t.join();
    EXPECT_EQ(failures.load() + overlaps.load(), 0) << failures << " failed, " << overlaps << " overlapped";
    EXPECT_EQ(taken.load() + info_of(sem).count, released);
    EXPECT_GT(cycles, 1) << "the closer could not take the mutex";
}
