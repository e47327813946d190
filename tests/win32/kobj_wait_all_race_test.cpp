// Wait-alls racing the changes of their objects, from threads and from a
// second process: uncontended turns take the lock-free path, blocked ones the
// locked path, and both must keep wait-all exact.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "kobj_test_util.h"

using namespace zkx::test;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRaceTime = std::chrono::milliseconds(700);

HANDLE event(const std::string& name, bool create, BOOL initial = TRUE) {
    return create ? CreateEventA(nullptr, TRUE, initial, name.c_str()) : OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
}

// Every wait-all here names the contested object first, then 62 manual
// events that stay signalled, then the mutex.  The lock-free path reads them
// all before it takes the mutex, and reads them again before it takes the
// first, so a racing change has a window of a few hundred instructions to
// hit instead of a few.
struct RaceSet {
    HANDLE set[MAXIMUM_WAIT_OBJECTS];
    HANDLE mutex() const { return set[MAXIMUM_WAIT_OBJECTS - 1]; }
    bool complete() const { return std::count(std::begin(set), std::end(set), nullptr) == 0; }
};

RaceSet make_set(const std::string& base, HANDLE first, bool create) {
    RaceSet r{{first}};
    for (int i = 1; i < MAXIMUM_WAIT_OBJECTS - 1; ++i) r.set[i] = event(base + "-" + std::to_string(i), create);
    r.set[MAXIMUM_WAIT_OBJECTS - 1] = create ? CreateMutexA(nullptr, FALSE, (base + "-m").c_str())
                                             : OpenMutexA(SYNCHRONIZE, FALSE, (base + "-m").c_str());
    return r;
}

// The gate: a set whose first object is the manual event `open`, and the
// event `closed`, set under the mutex while `open` is reset.  Takes wait-all
// turns through the gate until `stop` is set; the number of turns that found
// it marked closed, or -1 on a failed wait.  Mostly zero
// timeouts: a thread that never queues keeps every object free of waiters,
// so the turns stay on the lock-free path.
int gate_turns(const RaceSet& gate, HANDLE closed, HANDLE stop, long* turns) {
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

// Consumes semaphore units by wait-alls on the whole set and by zero-timeout
// waits on the semaphore alone until `stop` is set and a wait-all times out;
// calls count(holds_mutex) once per unit taken.
template <class Count>
bool drain(const RaceSet& units, HANDLE stop, Count count) {
    HANDLE sem = units.set[0];
    for (unsigned n = 0;; ++n) {
        if (n % 16 == 15) {
            if (WaitForSingleObject(sem, 0) == WAIT_OBJECT_0) count(false);
            continue;
        }
        DWORD r = WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, units.set, TRUE, n % 64 == 0 ? 20 : 0);
        if (r == WAIT_OBJECT_0) {
            count(true);
            if (!ReleaseMutex(units.mutex())) return false;
        } else if (r != WAIT_TIMEOUT) {
            return false;
        } else if (WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) {
            return true;
        }
    }
}

}  // namespace

ZKX_CHILD(gate_racer) {
    const std::string& base = args.at(0);
    RaceSet gate = make_set(base, event(base + "-open", false), false);
    HANDLE closed = event(base + "-closed", false), stop = event(base + "-stop", false);
    if (!gate.complete() || !closed || !stop) return 2;
    long turns = 0;
    int v = gate_turns(gate, closed, stop, &turns);
    return v < 0 ? 3 : v > 0 ? 10 + std::min(v, 100) : 0;
}

ZKX_CHILD(unit_drainer) {
    RaceSet units = make_set(args.at(0), OpenSemaphoreA(SYNCHRONIZE, FALSE, (args.at(0) + "-s").c_str()), false);
    HANDLE tally = OpenSemaphoreA(SYNCHRONIZE | SEMAPHORE_MODIFY_STATE, FALSE, (args.at(0) + "-tally").c_str());
    HANDLE stop = event(args.at(0) + "-stop", false);
    if (!units.complete() || !tally || !stop) return 2;
    return drain(units, stop, [&](bool) { ReleaseSemaphore(tally, 1, nullptr); }) ? 0 : 3;
}

// A wait-all must never get in while the manual event is reset, however the
// reset and set race the lock-free path.  The closer resets the event, then
// marks the gate closed under the mutex; a turn that holds the mutex and
// sees the mark was granted while the event was reset.
TEST(WaitAllRace, NeverGetsInWhileTheManualEventIsReset) {
    std::string base = unique_name("gate");
    HANDLE open = event(base + "-open", true);
    RaceSet gate = make_set(base, open, true);
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
    EXPECT_EQ(wait_child(child), 0) << "10 + n: the other process got in n times while closed";
    EXPECT_EQ(violations.load(), 0);
    EXPECT_GT(turns.load(), 0);
    EXPECT_GT(cycles, 1) << "the closer could not take the mutex";
    for (HANDLE h : gate.set) CloseHandle(h);
    for (HANDLE h : {closed, stop}) CloseHandle(h);
}

// Units released while wait-alls and zero-timeout waits race for them, in
// two processes: every unit is taken exactly once, none is lost or made up,
// and the mutex of the wait-all stays exclusive.
TEST(WaitAllRace, SemaphoreUnitsAreTakenExactlyOnce) {
    std::string base = unique_name("units");
    HANDLE sem = CreateSemaphoreA(nullptr, 0, 1 << 20, (base + "-s").c_str());
    RaceSet units = make_set(base, sem, true);
    HANDLE tally = CreateSemaphoreA(nullptr, 0, 1 << 20, (base + "-tally").c_str());
    HANDLE stop = event(base + "-stop", true, FALSE);
    ASSERT_TRUE(units.complete() && tally && stop);
    pid_t child = spawn_child("unit_drainer", {base});

    std::atomic<long> taken{0};
    std::atomic<int> inside{0}, overlaps{0}, failures{0};
    std::vector<std::thread> drainers;
    for (int i = 0; i < 3; ++i)
        drainers.emplace_back([&] {
            bool ok = drain(units, stop, [&](bool holds_mutex) {
                ++taken;
                if (!holds_mutex) return;
                if (inside.fetch_add(1) != 0) ++overlaps;
                std::this_thread::yield();
                inside.fetch_sub(1);
            });
            if (!ok) ++failures;
        });
    // Releases in a tight loop and takes back what goes beyond a few units,
    // so that the count stays where every change races a wait-all.
    long released = 0;
    for (auto end = Clock::now() + kRaceTime; Clock::now() < end;) {
        LONG n = LONG(1 + released % 3), previous = -1;
        if (!ReleaseSemaphore(sem, n, &previous) || previous < 0) {
            ADD_FAILURE() << "ReleaseSemaphore failed: " << GetLastError();
            break;
        }
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
