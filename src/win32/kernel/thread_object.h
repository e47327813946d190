// Threads as objects: running, then ended with an exit code, which signals
// every waiter for good.  Waiting never changes a thread; it owns nothing
// that its death could leave behind (the mutexes it owned are its own
// objects' business).
#ifndef ZKXWIN32_KERNEL_THREAD_OBJECT_H
#define ZKXWIN32_KERNEL_THREAD_OBJECT_H

#include "kernel/object_type.h"
#include "zkxwin32/thread.h"

#pragma GCC visibility push(hidden)

namespace zkx::win32::kobj {

struct ThreadRules : ObjectRules {
    static constexpr bool kWaitable = true;

    static bool signalled(uint64_t s) { return (s & st::kEnded) != 0; }
    static bool signalled_for(uint64_t s, uint32_t) { return signalled(s); }
    static Take lock_free(const Segment&, uint64_t s, uint32_t) {
        return signalled(s) ? Take::Keep : Take::Cannot;
    }
    static uint64_t ended(uint64_t s, uint32_t code) { return (s & st::kWaiters) | st::kEnded | code; }
    static uint32_t exit_code(uint64_t s) { return signalled(s) ? uint32_t(s) : STILL_ACTIVE; }

    static void describe(const Segment& seg, uint32_t slot, uint64_t s, KernelObjectInfo* info) {
        info->signalled = signalled(s);
        info->thread_id = seg.objects[slot].thread_id;
        info->exit_code = exit_code(s);
    }
};

}  // namespace zkx::win32::kobj

#pragma GCC visibility pop

#endif
