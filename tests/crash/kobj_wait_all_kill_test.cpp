// A process killed at random moments of a loop of uncontended wait-alls
// (taken without the namespace lock) and of changes under that lock: the
// mutex it may have held comes back abandoned, no semaphore unit is lost or
// made up, and nothing of it stays busy, queued, owned or named.
#include "../win32/kobj_test_util.h"
#include "crash_util.h"

namespace {

using namespace zkx::test;

constexpr LONG kUnits = 3;

WaitAllSet objects(const std::string& base) {
    return WaitAllSet(base, CreateSemaphoreA(nullptr, kUnits, kUnits, (base + "-s").c_str()));
}

// Takes a unit with the mutex and gives it back before the mutex, so the
// count is short only while the mutex is held.
ZKX_CHILD(wait_all_loop) {
    WaitAllSet o = objects(args.at(0));
    const unsigned churn = unsigned(std::stoul(args.at(2)));
    for (unsigned turn = 0;; ++turn) {
        // Every other turn without the semaphore: gates and mutex only.
        bool unit = turn % 2 == 0;
        DWORD n = unit ? MAXIMUM_WAIT_OBJECTS : MAXIMUM_WAIT_OBJECTS - 1;
        if (WaitForMultipleObjects(n, unit ? o.set : o.set + 1, TRUE, INFINITE) != WAIT_OBJECT_0) return 3;
        if (unit && !ReleaseSemaphore(o.first(), 1, nullptr)) return 4;
        if (!ReleaseMutex(o.mutex())) return 5;
        // Under the lock, `churn` times a turn (none or many, by round): named
        // events made, pulsed, waited on (a few queue), set and dropped.
        for (unsigned k = 0; k < churn; ++k) {
            HANDLE e = CreateEventA(nullptr, k % 2, FALSE, (args.at(0) + "-e" + std::to_string(k)).c_str());
            PulseEvent(e);
            WaitForSingleObject(e, turn % 16 + k == 0 ? 1 : 0);
            SetEvent(e);
            CloseHandle(e);
        }
        if (turn == 0) signal_ready(args.at(1));
    }
}

TEST(WaitAllKill, KilledInsideWaitAllsOrTheNamespaceLockLeavesExactState) {
    std::string base = unique_name("crash-wait-all");
    WaitAllSet o = objects(base);
    for (int round = 0; another_round(round, 160); ++round) {
        std::string ready = base + "-ready-" + std::to_string(round);
        pid_t child = spawn_working_child("wait_all_loop", ready, {base, ready, std::to_string(round % 2 * 32)});
        ASSERT_NE(child, 0);
        ASSERT_TRUE(kill_at_random_moment(child, 5 + round % 4 * 5));

        DWORD r = WaitForSingleObject(o.mutex(), 5000);
        ASSERT_TRUE(r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) << r;
        // Only an owner killed between its two releases leaves a unit out,
        // and it is the dead owner's to give back.
        LONG count = info_of(o.first()).count;
        EXPECT_TRUE(count == kUnits || (r == WAIT_ABANDONED && count == kUnits - 1)) << r << " " << count;
        if (count == kUnits - 1) ReleaseSemaphore(o.first(), 1, nullptr);
        ASSERT_TRUE(ReleaseMutex(o.mutex()));
        // The child's handles went with it: no waiter or owner is left, and
        // the names of its events are free (Windows lists no objects).
#ifndef _WIN32
        std::vector<zkx::win32::KernelObjectInfo> all;
        ASSERT_TRUE(zkx::win32::enumerate_kernel_objects(&all));
        for (const auto& obj : all)
            EXPECT_TRUE(obj.waiters == 0 && obj.owner_tid == 0 && obj.name.rfind(base + "-e", 0) != 0) << obj.name;
#endif
        HANDLE probe = CreateEventA(nullptr, FALSE, TRUE, (base + "-e0").c_str());
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS)) << "a fresh object, not a stale one";
        CloseHandle(probe);
        // Nothing is left busy or queued: the next wait-all needs no waiting.
        ASSERT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, o.set, TRUE, 0), WAIT_OBJECT_0);
        EXPECT_EQ(info_of(o.first()).count, kUnits - 1);
        ReleaseSemaphore(o.first(), 1, nullptr);
        ReleaseMutex(o.mutex());
    }
}

}  // namespace
