// What every kernel-object type answers, and the answers of a slot that is
// no waitable object (free, or a section).  Each type's own file says what
// its state word means to a waiter, to its owner's death and to a listing;
// the wait paths, the sweeps and the listing ask those files through
// kernel/object_types.h instead of knowing the types themselves.
#ifndef ZKXWIN32_KERNEL_OBJECT_TYPE_H
#define ZKXWIN32_KERNEL_OBJECT_TYPE_H

#include <cstdint>

#include "kernel/kernel_objects.h"
#include "kernel/internal.h"

#pragma GCC visibility push(hidden)

namespace zkx::win32::kobj {

// What a wait that does not hold the lock may do with an object, judged
// from its state word alone.
enum class Take {
    Own,      // a mutex becomes ours, or ours once more
    Consume,  // a semaphore unit or an auto-reset signal: gone for everybody else
    Keep,     // a manual-reset event or an ended thread: left as it is
    Cannot,   // not satisfiable now
    Lock,     // only the locked path can decide
};

// The answers of a slot that nobody can wait on.  A type overrides what
// applies to it; the words passed in carry kWaiters and kAbandoned but
// never kBusy.
struct ObjectRules {
    static constexpr bool kWaitable = false;
    // Whether a taker becomes its owner, so that it needs its owner key and
    // must give the object up when it ends.
    static constexpr bool kOwned = false;
    // Signalled for somebody: a waiter could be granted it now.
    static bool signalled(uint64_t) { return false; }
    // Signalled for the thread with this owner key.
    static bool signalled_for(uint64_t, uint32_t) { return false; }
    // A wait this object turns down whatever its state (0: none).
    static DWORD refuses(uint64_t, uint32_t) { return 0; }
    // The word after the key took it.
    static uint64_t taken(uint64_t s, uint32_t) { return s; }
    static Take lock_free(const Segment&, uint64_t, uint32_t) { return Take::Lock; }
    // Takes a touched, signalled object for the key under the lock; true
    // when the waiter must be told that an owner died holding it.
    static bool take(Txn&, uint32_t, uint64_t, uint32_t) { return false; }
    // The thread that owns it (an owner key), or 0.
    static uint32_t owner(uint64_t) { return 0; }
    // Before a locked wait: settles whatever dead processes left the waiter
    // stuck behind.
    static void sweep_dead(Txn&, uint32_t, uint64_t) {}
    // Its owner ended without giving it up.
    static void owner_ended(Txn&, uint32_t, uint32_t) {}
    // Whether another process stands between a waiter and the object, so
    // that a sleeping waiter must look now and then whether it died; read
    // without the lock, only a hint.
    static bool foreign(const Segment&, uint32_t, uint64_t) { return false; }
    // Whether its next change must come to the lock although nobody is
    // queued (kWaiters is then kept set).
    static bool needs_lock(const ObjectSlot&) { return false; }
    // The object is being freed.
    static void freeing(Txn&, uint32_t) {}
    // Fills the type's own fields of a listing.
    static void describe(const Segment&, uint32_t, uint64_t, KernelObjectInfo*) {}
};

}  // namespace zkx::win32::kobj

#pragma GCC visibility pop

#endif
