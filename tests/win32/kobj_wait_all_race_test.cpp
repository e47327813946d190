// Wait-alls racing the changes of their objects, from threads and from a
// second process: uncontended turns take the lock-free path, blocked ones the
// locked path, and both must keep wait-all exact.
#include "kobj_test_util.h"
#include "test_util.h"

using namespace zkx::test;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRaceTime = std::chrono::milliseconds(700);

HANDLE event(const std::string& name, bool create, BOOL initial = TRUE) {
    return create ? CreateEventA(nullptr, TRUE, initial, name.c_str()) : OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
}

// The gate: a set whose first object is the manual event "-open", and the
// event `closed`, set under the mutex while "-open" is reset.  Takes
// wait-all turns through the gate until `stop` is set; the number of turns
// that found it marked closed, or -1 on a failed wait.  Mostly zero
// timeouts: a thread that never queues keeps every object free of waiters,
// so the turns stay on the lock-free path.
int gate_turns(const WaitAllSet& gate, HANDLE closed, HANDLE stop, long* turns) {
    int violations = 0;
    for (unsigned n = 0; WaitForSingleObject(stop, 0) == WAIT_TIMEOUT; ++n) {
        DWORD r = WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, gate.set, TRUE, n % 64 == 0 ? 5000 : 0);
        if (r == WAIT_TIMEOUT) continue;
        if (r != WAIT_OBJECT_0) return -1;
        if (WaitForSingleObject(closed, 0) == WAIT_OBJECT_0) ++violations;
        ++*turns;
        ReleaseMutex(gate.mutex());
    }
    return violations;
}

// Consumes semaphore units by wait-alls on the whole set and by lone waits
// on the semaphore until `stop` is set and a wait-all times out, and takes
// the mutex alone now and then; some of the lone waits block.  Calls
// inside(unit, mutex) with what it holds.
bool drain(const WaitAllSet& units, HANDLE stop, const std::function<void(bool, bool)>& inside) {
    for (unsigned n = 0;; ++n) {
        if (n % 16 == 15) {
            HANDLE one = n % 32 == 31 ? units.mutex() : units.first();
            if (WaitForSingleObject(one, n % 64 > 32 ? 20 : 0) != WAIT_OBJECT_0) continue;
            inside(one == units.first(), one == units.mutex());
            if (one == units.mutex() && !ReleaseMutex(one)) return false;
            continue;
        }
        DWORD r = WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, units.set, TRUE, n % 64 == 0 ? 20 : 0);
        if (r == WAIT_OBJECT_0) {
            inside(true, true);
            if (!ReleaseMutex(units.mutex())) return false;
        } else if (r != WAIT_TIMEOUT) {
            return false;
        } else if (WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) {
            return true;
        }
    }
}

}  // namespace

// Exit codes: 2 objects missing, 3 a failed wait, 10 + n the gate let it in
// n times while closed.
ZKX_CHILD(gate_racer) {
    const std::string& base = args.at(0);
    WaitAllSet gate = wait_all_set(base, event(base + "-open", false), false);
    HANDLE closed = event(base + "-closed", false), stop = event(base + "-stop", false);
    if (!gate.complete() || !closed || !stop) return 2;
    long turns = 0;
    int v = gate_turns(gate, closed, stop, &turns);
    return v < 0 ? 3 : v > 0 ? 10 + std::min(v, 100) : 0;
}

// Counts the units it takes on the semaphore "-tally".
ZKX_CHILD(unit_drainer) {
    const std::string& base = args.at(0);
    WaitAllSet units = wait_all_set(base, OpenSemaphoreA(SYNCHRONIZE, FALSE, (base + "-s").c_str()), false);
    HANDLE tally = OpenSemaphoreA(SYNCHRONIZE | SEMAPHORE_MODIFY_STATE, FALSE, (base + "-tally").c_str());
    HANDLE stop = event(base + "-stop", false);
    if (!units.complete() || !tally || !stop) return 2;
    return drain(units, stop, [&](bool unit, bool) { if (unit) ReleaseSemaphore(tally, 1, nullptr); }) ? 0 : 3;
}

// A wait-all must never get in while the manual event is reset, however the
// reset and set race the lock-free path.  The closer resets the event, then
// marks the gate closed under the mutex; a turn that holds the mutex and
// sees the mark was granted while the event was reset.
TEST(WaitAllRace, NeverGetsInWhileTheManualEventIsReset) {
    std::string base = unique_name("gate");
    HANDLE open = event(base + "-open", true);
    WaitAllSet gate = wait_all_set(base, open, true);
    HANDLE closed = event(base + "-closed", true, FALSE), stop = event(base + "-stop", true, FALSE);
    ASSERT_TRUE(gate.complete() && closed && stop);
    pid_t child = spawn_child("gate_racer", {base});

    std::atomic<int> violations{0};
    std::atomic<long> turns{0};
    std::vector<std::thread> racers;
    for (int i = 0; i < 6; ++i)
        racers.emplace_back([&] {
            long mine = 0;
            int v = gate_turns(gate, closed, stop, &mine);
            violations += v < 0 ? 1000 : v;
            turns += mine;
        });
    long cycles = 0;
    for (auto end = Clock::now() + kRaceTime; Clock::now() < end; ++cycles) {
        ResetEvent(open);
        if (WaitForSingleObject(gate.mutex(), 5000) != WAIT_OBJECT_0) break;
        SetEvent(closed);
        ReleaseMutex(gate.mutex());
        if (WaitForSingleObject(gate.mutex(), 5000) != WAIT_OBJECT_0) break;
        ResetEvent(closed);
        SetEvent(open);
        ReleaseMutex(gate.mutex());
    }
    SetEvent(open);  // a racer blocked on the gate must see `stop`
    SetEvent(stop);
    for (auto& t : racers) t.join();
    EXPECT_EQ(wait_child(child), 0);
    EXPECT_EQ(violations.load(), 0);
    EXPECT_GT(turns.load(), 0);
    EXPECT_GT(cycles, 1) << "the closer could not take the mutex";
    for (HANDLE h : gate.set) CloseHandle(h);
    for (HANDLE h : {closed, stop}) CloseHandle(h);
}

// Units released while wait-alls and lone waits race for them, in two
// processes: every unit is taken exactly once, none is lost or made up, and
// the mutex stays exclusive between wait-alls and lone waits.
TEST(WaitAllRace, SemaphoreUnitsAreTakenExactlyOnce) {
    std::string base = unique_name("units");
    HANDLE sem = CreateSemaphoreA(nullptr, 0, 1 << 20, (base + "-s").c_str());
    WaitAllSet units = wait_all_set(base, sem, true);
    HANDLE tally = CreateSemaphoreA(nullptr, 0, 1 << 20, (base + "-tally").c_str());
    HANDLE stop = event(base + "-stop", true, FALSE);
    ASSERT_TRUE(units.complete() && tally && stop);
    pid_t child = spawn_child("unit_drainer", {base});

    std::atomic<long> taken{0};
    std::atomic<int> inside{0}, overlaps{0}, failures{0};
    std::vector<std::thread> drainers;
    for (int i = 0; i < 3; ++i)
        drainers.emplace_back([&] {
            failures += !drain(units, stop, [&](bool unit, bool holds_mutex) {
                taken += unit;
                if (!holds_mutex) return;
                if (inside.fetch_add(1) != 0) ++overlaps;
                std::this_thread::yield();
                inside.fetch_sub(1);
            });
        });
    // Releases in a tight loop and takes back what goes beyond a few units,
    // so that the count stays where every change races a wait-all.
    long released = 0;
    for (auto end = Clock::now() + kRaceTime; Clock::now() < end;) {
        LONG n = LONG(1 + released % 3), previous = -1;
        bool ok = ReleaseSemaphore(sem, n, &previous) && previous >= 0;
        EXPECT_TRUE(ok) << GetLastError();
        if (!ok) break;
        released += n;
        for (LONG extra = previous + n - 4; extra > 0 && WaitForSingleObject(sem, 0) == WAIT_OBJECT_0; --extra)
            ++taken;
    }
    SetEvent(stop);
    for (auto& t : drainers) t.join();
    ASSERT_EQ(wait_child(child), 0);
    LONG child_taken = 0;
    ReleaseSemaphore(tally, 1, &child_taken);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(taken.load() + child_taken + info_of(sem).count, released);
    EXPECT_EQ(info_of(units.mutex()).owner_tid, 0u);
    for (HANDLE h : units.set) CloseHandle(h);
    for (HANDLE h : {tally, stop}) CloseHandle(h);
}
