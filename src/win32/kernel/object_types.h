// The table of kernel-object types.  A new type is one header beside
// kernel/event.h and one row in with_rules below.
#ifndef ZKXWIN32_KERNEL_OBJECT_TYPES_H
#define ZKXWIN32_KERNEL_OBJECT_TYPES_H

#include "kernel/event.h"
#include "kernel/mutex.h"
#include "kernel/semaphore.h"
#include "kernel/thread_object.h"

#pragma GCC visibility push(hidden)

namespace zkx::win32::kobj {

// Calls f with the rules of an object type (an ObjectType value); an
// unknown or free type gets the base answers.
template <class F>
inline decltype(auto) with_rules(uint32_t type, F&& f) {
    switch (type) {
        case kEvent: return f(EventRules{});
        case kMutex: return f(MutexRules{});
        case kSemaphore: return f(SemaphoreRules{});
        case kThread: return f(ThreadRules{});
        default: return f(ObjectRules{});
    }
}

// The object type behind a handle type, for paths that have a handle but
// have not looked at the slot.
inline uint32_t object_type_of(HandleType h) {
    switch (h) {
        case HandleType::Event: return kEvent;
        case HandleType::Mutex: return kMutex;
        case HandleType::Semaphore: return kSemaphore;
        case HandleType::Thread: return kThread;
        default: return kFree;
    }
}

// The questions the wait paths, sweeps and listings ask, by type.
inline bool type_waitable(uint32_t type) {
    return with_rules(type, [](auto r) { return decltype(r)::kWaitable; });
}
inline bool type_owned(uint32_t type) {
    return with_rules(type, [](auto r) { return decltype(r)::kOwned; });
}
inline bool type_signalled(uint32_t type, uint64_t s) {
    return with_rules(type, [&](auto r) { return decltype(r)::signalled(s); });
}
inline bool type_signalled_for(uint32_t type, uint64_t s, uint32_t key) {
    return with_rules(type, [&](auto r) { return decltype(r)::signalled_for(s, key); });
}
inline DWORD type_refuses(uint32_t type, uint64_t s, uint32_t key) {
    return with_rules(type, [&](auto r) { return decltype(r)::refuses(s, key); });
}
inline uint64_t type_taken(uint32_t type, uint64_t s, uint32_t key) {
    return with_rules(type, [&](auto r) { return decltype(r)::taken(s, key); });
}
inline Take type_lock_free(uint32_t type, const Segment& seg, uint64_t s, uint32_t key) {
    return with_rules(type, [&](auto r) { return decltype(r)::lock_free(seg, s, key); });
}
inline bool type_take(uint32_t type, Txn& t, uint32_t slot, uint64_t s, uint32_t key) {
    return with_rules(type, [&](auto r) { return decltype(r)::take(t, slot, s, key); });
}
inline uint32_t type_owner(uint32_t type, uint64_t s) {
    return with_rules(type, [&](auto r) { return decltype(r)::owner(s); });
}
inline void type_owner_ended(uint32_t type, Txn& t, uint32_t slot, uint32_t owner) {
    with_rules(type, [&](auto r) { decltype(r)::owner_ended(t, slot, owner); });
}
inline void type_sweep_dead(uint32_t type, Txn& t, uint32_t slot, uint64_t s) {
    with_rules(type, [&](auto r) { decltype(r)::sweep_dead(t, slot, s); });
}
inline bool type_foreign(uint32_t type, const Segment& seg, uint32_t slot, uint64_t s) {
    return with_rules(type, [&](auto r) { return decltype(r)::foreign(seg, slot, s); });
}
inline bool type_needs_lock(uint32_t type, const ObjectSlot& o) {
    return with_rules(type, [&](auto r) { return decltype(r)::needs_lock(o); });
}
inline void type_freeing(uint32_t type, Txn& t, uint32_t slot) {
    with_rules(type, [&](auto r) { decltype(r)::freeing(t, slot); });
}
inline void type_describe(uint32_t type, const Segment& seg, uint32_t slot, uint64_t s, KernelObjectInfo* info) {
    with_rules(type, [&](auto r) { decltype(r)::describe(seg, slot, s, info); });
}

}  // namespace zkx::win32::kobj

#pragma GCC visibility pop

#endif
