// Semaphores: a count between 0 and a maximum fixed at creation.  A wait
// takes one unit; release adds units up to the maximum.
//
// A tracked semaphore (zkx_semaphore_track_holders, kernel/semaphore_holders.cpp) also
// counts, per process, the units the process released minus those it took,
// and a dead process's balance is taken back as a dead owner's mutex is
// handed on.  The count and the balances change in one Txn, so no lock-free
// path may change a tracked count.
#ifndef ZKXWIN32_KERNEL_SEMAPHORE_H
#define ZKXWIN32_KERNEL_SEMAPHORE_H

#include "kernel/object_type.h"

#pragma GCC visibility push(hidden)

namespace zkx::win32::kobj {

struct SemaphoreRules : ObjectRules {
    static constexpr bool kWaitable = true;

    static uint64_t initial(uint32_t count) { return count; }
    static bool signalled(uint64_t s) { return st::count(s) > 0; }
    static bool signalled_for(uint64_t s, uint32_t) { return signalled(s); }
    static uint64_t taken(uint64_t s, uint32_t) { return st::semaphore_with(s, st::count(s) - 1); }
    static Take lock_free(const Segment&, uint64_t s, uint32_t) {
        if (!signalled(s)) return Take::Cannot;
        return (s & st::kTracked) ? Take::Lock : Take::Consume;
    }
    static bool take(Txn& t, uint32_t slot, uint64_t s, uint32_t key) {
        t.set_state(slot, taken(s, key));
        if (s & st::kTracked) count_units(t, key_process(key), slot, -1);
        return false;
    }
    // Whether n more units fit under the maximum; *next is then the word.
    static bool released(uint64_t s, uint32_t n, int64_t maximum, uint64_t* next) {
        if (int64_t(st::count(s)) + n > maximum) return false;
        *next = st::semaphore_with(s, st::count(s) + n);
        return true;
    }
    // Whether a release may skip the lock: a tracked count moves only
    // together with the caller's balance.
    static bool lock_free_release(uint64_t s) { return !(s & st::kTracked); }

    static void freeing(Txn& t, uint32_t slot) { forget_units(t, slot); }
    static void describe(const Segment& seg, uint32_t slot, uint64_t s, KernelObjectInfo* info) {
        info->count = int32_t(st::count(s));
        info->max_count = seg.hot[slot].max_count.load(std::memory_order_relaxed);
        info->signalled = info->count > 0;
    }
};

}  // namespace zkx::win32::kobj

#pragma GCC visibility pop

#endif
