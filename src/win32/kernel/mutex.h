// Mutexes: free, or owned by one thread (an owner key) up to kRecursionMax
// times over.  A wait takes a free mutex or one more level of the caller's
// own; release gives one level back.  When the owner ends without releasing
// it, the mutex becomes free and abandoned, and its next taker is told so
// (WAIT_ABANDONED).
#ifndef ZKXWIN32_KERNEL_MUTEX_H
#define ZKXWIN32_KERNEL_MUTEX_H

#include "kernel/object_type.h"
#include "zkxwin32/sync.h"

#pragma GCC visibility push(hidden)

namespace zkx::win32::kobj {

struct MutexRules : ObjectRules {
    static constexpr bool kWaitable = true;
    static constexpr bool kOwned = true;

    static uint64_t initial(uint32_t owner_key) { return owner_key ? owner_key | st::kRecursionOne : 0; }
    static uint32_t owner(uint64_t s) { return st::owner(s); }
    static bool signalled(uint64_t s) { return owner(s) == 0; }
    static bool signalled_for(uint64_t s, uint32_t key) {
        return owner(s) == 0 || (owner(s) == key && st::recursion(s) < st::kRecursionMax);
    }
    static DWORD refuses(uint64_t s, uint32_t key) {
        return owner(s) == key && st::recursion(s) == st::kRecursionMax ? ERROR_MUTANT_LIMIT_EXCEEDED : 0;
    }
    // Taking clears kAbandoned: only the first taker hears of the death.
    static uint64_t taken(uint64_t s, uint32_t key) {
        return owner(s) == 0 ? (s & st::kWaiters) | key | st::kRecursionOne : s + st::kRecursionOne;
    }
    static Take lock_free(const Segment& seg, uint64_t s, uint32_t key) {
        // The first taker of an abandoned mutex must be told so.
        if (s & st::kAbandoned) return Take::Lock;
        uint32_t o = owner(s);
        if (o == 0) return Take::Own;
        // At the recursion limit the locked path refuses the wait.
        if (o == key) return st::recursion(s) < st::kRecursionMax ? Take::Own : Take::Lock;
        // Another process may have died owning it; only the lock can sweep
        // it.  Threads of this process give their mutexes up as they end.
        return key_process(o) == seg.self ? Take::Cannot : Take::Lock;
    }
    static bool take(Txn& t, uint32_t slot, uint64_t s, uint32_t key) {
        t.set_state(slot, taken(s, key));
        return owner(s) == 0 && (s & st::kAbandoned);
    }
    // The word after its owner gave one level back; free at the last.
    static uint64_t released(uint64_t s) {
        return st::recursion(s) > 1 ? s - st::kRecursionOne : s & st::kWaiters;
    }
    // The guard mutex of a tracked semaphore with a settlement due sends its
    // release to the lock, which settles (kernel/semaphore_holders.cpp).
    static bool needs_lock(const ObjectSlot& o) { return o.ext[ext::kPending] != 0; }
    // Its owner ended without releasing it: free, abandoned, handed on.
    static void owner_ended(Txn& t, uint32_t slot, uint32_t owner_key);

    static void sweep_dead(Txn& t, uint32_t, uint64_t s) {
        uint32_t o = owner(s);
        if (!o) return;
        uint32_t p = key_process(o);
        if (p != t.seg.self && !process_alive(t.seg, p)) sweep_process(t, p);
    }
    static bool foreign(const Segment& seg, uint32_t, uint64_t s) {
        return owner(s) && key_process(owner(s)) != seg.self;
    }
    static void describe(const Segment& seg, uint32_t, uint64_t s, KernelObjectInfo* info) {
        info->signalled = signalled(s);
        if (uint32_t o = owner(s)) {
            uint32_t p = key_process(o);
            info->owner_pid = p < kMaxProcesses ? seg.processes[p].pid.load(std::memory_order_relaxed) : 0;
            info->owner_tid = key_tid(o);
            info->recursion = uint32_t(st::recursion(s));
        }
        info->abandoned = (s & st::kAbandoned) != 0;
    }
};

}  // namespace zkx::win32::kobj

#pragma GCC visibility pop

#endif
