// Events: signalled or not, and either manual reset (a wait leaves it set)
// or auto reset (the one waiter it satisfies resets it).  Nobody owns an
// event, so nobody's death changes it, except for the zero event of a
// tracked semaphore (kernel/semaphore.h): while it is reset a dead holder of
// the semaphore may be all that keeps it so.
#ifndef ZKXWIN32_KERNEL_EVENT_H
#define ZKXWIN32_KERNEL_EVENT_H

#include "kernel/object_type.h"

#pragma GCC visibility push(hidden)

namespace zkx::win32::kobj {

struct EventRules : ObjectRules {
    static constexpr bool kWaitable = true;

    static uint64_t initial(bool manual_reset, bool signalled) {
        return (manual_reset ? st::kManual : 0) | (signalled ? st::kSignalled : 0);
    }
    static bool signalled(uint64_t s) { return (s & st::kSignalled) != 0; }
    static bool signalled_for(uint64_t s, uint32_t) { return signalled(s); }
    static uint64_t taken(uint64_t s, uint32_t) {
        return (s & st::kManual) ? s : st::event_with(s, false);
    }
    static Take lock_free(const Segment&, uint64_t s, uint32_t) {
        // A tracked semaphore's zero event may be reset only because a
        // holder died; the lock looks for that.
        if (!signalled(s)) return (s & st::kTracked) ? Take::Lock : Take::Cannot;
        return (s & st::kManual) ? Take::Keep : Take::Consume;
    }
    static bool take(Txn& t, uint32_t slot, uint64_t s, uint32_t key) {
        if (!(s & st::kManual)) t.set_state(slot, taken(s, key));
        return false;
    }
    // Set, reset and pulse change only the signalled bit; resetting never
    // releases anybody, so only setting and pulsing must see queued waiters
    // granted.  A pulse sets, grants the queue and resets at once.
    static uint64_t with_signal(uint64_t s, bool signalled) { return st::event_with(s, signalled); }

    static void sweep_dead(Txn& t, uint32_t slot, uint64_t s) {
        if (s & st::kTracked) sweep_dead_holders(t, slot);
    }
    static bool foreign(const Segment& seg, uint32_t slot, uint64_t s) {
        return (s & st::kTracked) && foreign_holders(seg, slot);
    }
    static void describe(const Segment&, uint32_t, uint64_t s, KernelObjectInfo* info) {
        info->signalled = signalled(s);
        info->manual_reset = (s & st::kManual) != 0;
    }
};

}  // namespace zkx::win32::kobj

#pragma GCC visibility pop

#endif
