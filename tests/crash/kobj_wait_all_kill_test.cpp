// A process killed at random moments of a loop of uncontended wait-alls,
// which take their objects without the namespace lock: the mutex it may
// have held comes back abandoned, no semaphore unit is lost or made up, and
// the next wait-all goes through at once.
#include "../win32/kobj_test_util.h"
#include "crash_util.h"
#include "test_util.h"

namespace {

using namespace zkx::test;

constexpr LONG kUnits = 3;

// The semaphore, the gates that stay signalled, the mutex.
WaitAllSet open_objects(const std::string& base, bool create) {
    const std::string sem = base + "-s";
    return wait_all_set(base,
                        create ? CreateSemaphoreA(nullptr, kUnits, kUnits, sem.c_str())
                               : OpenSemaphoreA(SYNCHRONIZE | SEMAPHORE_MODIFY_STATE, FALSE, sem.c_str()),
                        create);
}

// Takes a unit with the mutex and gives it back before the mutex, so the
// count is short only while the mutex is held.
ZKX_CHILD(wait_all_loop) {
    WaitAllSet o = open_objects(args.at(0), false);
    if (!o.complete()) return 2;
    for (unsigned turn = 0;; ++turn) {
        // Every other turn without the semaphore: gates and mutex only.
        bool unit = turn % 2 == 0;
        DWORD n = unit ? MAXIMUM_WAIT_OBJECTS : MAXIMUM_WAIT_OBJECTS - 1;
        if (WaitForMultipleObjects(n, unit ? o.set : o.set + 1, TRUE, INFINITE) != WAIT_OBJECT_0) return 3;
        if (unit && !ReleaseSemaphore(o.first(), 1, nullptr)) return 4;
        if (!ReleaseMutex(o.mutex())) return 5;
        if (turn == 0) signal_ready(args.at(1));
    }
}

TEST(WaitAllKill, KilledInsideLockFreeWaitAllsLeavesExactState) {
    std::string base = unique_name("crash-wait-all");
    WaitAllSet o = open_objects(base, true);
    ASSERT_TRUE(o.complete());
    HANDLE sem = o.first();
    for (int round = 0; another_round(round, 12); ++round) {
        std::string ready = base + "-ready-" + std::to_string(round);
        pid_t child = spawn_working_child("wait_all_loop", ready, {base, ready});
        ASSERT_NE(child, 0);
        ASSERT_TRUE(kill_at_random_moment(child, 5));

        DWORD r = WaitForSingleObject(o.mutex(), 5000);
        ASSERT_TRUE(r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) << r;
        LONG count = info_of(sem).count;
        if (r == WAIT_OBJECT_0) {
            EXPECT_EQ(count, kUnits) << "the mutex was free, so every unit must be back";
        } else {
            EXPECT_TRUE(count == kUnits || count == kUnits - 1) << count;
            if (count == kUnits - 1) ReleaseSemaphore(sem, 1, nullptr);  // the dead owner's unit
        }
        ASSERT_TRUE(ReleaseMutex(o.mutex()));
        // Nothing is left busy or queued: the next wait-all needs no waiting.
        ASSERT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, o.set, TRUE, 0), WAIT_OBJECT_0);
        EXPECT_EQ(info_of(sem).count, kUnits - 1);
        ReleaseSemaphore(sem, 1, nullptr);
        ReleaseMutex(o.mutex());
    }
    for (HANDLE h : o.set) CloseHandle(h);
}

}  // namespace
