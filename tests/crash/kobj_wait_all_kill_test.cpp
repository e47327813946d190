// A process killed at random moments of a loop of uncontended wait-alls,
// which take their objects without the namespace lock: the mutex it may
// have held comes back abandoned, no semaphore unit is lost or made up, and
// the next wait-all goes through at once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "child.h"
#include "crash_util.h"
#include "kernel/kernel_objects.h"

namespace {

using namespace zkx::test;

constexpr LONG kUnits = 3;

// The wait-alls name the semaphore, 62 manual events that stay signalled,
// and the mutex: between taking the mutex and taking the unit the lock-free
// path checks the events again, which gives a kill room to land there.
constexpr int kGates = MAXIMUM_WAIT_OBJECTS - 2;

struct Objects {
    HANDLE set[MAXIMUM_WAIT_OBJECTS];  // semaphore, gates, mutex
    HANDLE sem() const { return set[0]; }
    HANDLE mutex() const { return set[MAXIMUM_WAIT_OBJECTS - 1]; }
    bool ok() const { return std::count(std::begin(set), std::end(set), nullptr) == 0; }
};

Objects open_objects(const std::string& base, bool create) {
    Objects o;
    const std::string sem = base + "-s", mutex = base + "-m";
    o.set[0] = create ? CreateSemaphoreA(nullptr, kUnits, kUnits, sem.c_str())
                      : OpenSemaphoreA(SYNCHRONIZE | SEMAPHORE_MODIFY_STATE, FALSE, sem.c_str());
    for (int i = 1; i <= kGates; ++i) {
        std::string name = base + "-g" + std::to_string(i);
        o.set[i] = create ? CreateEventA(nullptr, TRUE, TRUE, name.c_str())
                          : OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
    }
    o.set[kGates + 1] = create ? CreateMutexA(nullptr, FALSE, mutex.c_str())
                               : OpenMutexA(SYNCHRONIZE, FALSE, mutex.c_str());
    return o;
}

LONG count_of(HANDLE sem) {
    zkx::win32::KernelObjectInfo info;
    return zkx::win32::describe_kernel_object(sem, &info) ? info.count : -1;
}

// Takes a unit with the mutex and gives it back before the mutex, so the
// count is short only while the mutex is held.
ZKX_CHILD(wait_all_loop) {
    Objects o = open_objects(args.at(0), false);
    if (!o.ok()) return 2;
    for (unsigned turn = 0;; ++turn) {
        // Every other turn without the semaphore: gates and mutex only.
        bool unit = turn % 2 == 0;
        DWORD n = unit ? MAXIMUM_WAIT_OBJECTS : MAXIMUM_WAIT_OBJECTS - 1;
        if (WaitForMultipleObjects(n, unit ? o.set : o.set + 1, TRUE, INFINITE) != WAIT_OBJECT_0) return 3;
        if (unit && !ReleaseSemaphore(o.sem(), 1, nullptr)) return 4;
        if (!ReleaseMutex(o.mutex())) return 5;
        if (turn == 0) signal_ready(args.at(1));
    }
}

TEST(WaitAllKill, KilledInsideLockFreeWaitAllsLeavesExactState) {
    std::string base = "crash-wait-all-" + std::to_string(getpid());
    Objects o = open_objects(base, true);
    ASSERT_TRUE(o.ok());
    for (int round = 0; another_round(round, 12); ++round) {
        std::string ready = base + "-ready-" + std::to_string(round);
        pid_t child = spawn_working_child("wait_all_loop", ready, {base, ready});
        ASSERT_NE(child, 0);
        ASSERT_TRUE(kill_at_random_moment(child, 5));

        DWORD r = WaitForSingleObject(o.mutex(), 5000);
        ASSERT_TRUE(r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) << r;
        LONG count = count_of(o.sem());
        if (r == WAIT_OBJECT_0) {
            EXPECT_EQ(count, kUnits) << "the mutex was free, so every unit must be back";
        } else {
            EXPECT_TRUE(count == kUnits || count == kUnits - 1) << count;
            if (count == kUnits - 1) ReleaseSemaphore(o.sem(), 1, nullptr);  // the dead owner's unit
        }
        ASSERT_TRUE(ReleaseMutex(o.mutex()));
        // Nothing is left busy or queued: the next wait-all needs no waiting.
        ASSERT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, o.set, TRUE, 0), WAIT_OBJECT_0);
        EXPECT_EQ(count_of(o.sem()), kUnits - 1);
        ReleaseSemaphore(o.sem(), 1, nullptr);
        ReleaseMutex(o.mutex());
    }
    for (HANDLE h : o.set) CloseHandle(h);
}

}  // namespace
