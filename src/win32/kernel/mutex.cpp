// Mutexes: owned by a thread, recursive, handed on as abandoned when the
// owner ends without releasing them.
#include "kernel/internal.h"
#include "kernel/mutex.h"
#include "zkxwin32/errors.h"
#include "zkxwin32/sync.h"

using namespace zkx::win32;
using namespace zkx::win32::kobj;

extern "C" HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initial_owner, LPCSTR name) {
    NoTerminate guard;
    Segment* s = segment();
    if (!s) return nullptr;
    uint32_t owner = 0;
    if (initial_owner) {
        arm_exit_hook();
        owner = current_key(*s);
    }
    // An existing mutex keeps its owner: the initial owner applies only to
    // the thread that creates it.
    return create_object(NewObject{kMutex, HandleType::Mutex, name, MutexRules::initial(owner), 0, 0, nullptr, nullptr});
}

extern "C" HANDLE WINAPI OpenMutexA(DWORD, BOOL, LPCSTR name) {
    return open_object(kMutex, HandleType::Mutex, name);
}

namespace zkx::win32::kobj {

BOOL release_mutex(Segment& s, Ref r, uint32_t key) {
    HotEntry& hot = s.hot[r.slot];
    uint64_t cur = hot.state.load(std::memory_order_acquire);
    for (;;) {
        // Nobody but the owner can make a thread the owner or take it away
        // from a live one, so this needs no lock even while a Txn runs.
        if (hot.generation.load(std::memory_order_relaxed) != r.generation) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (st::owner(cur) != key) {
            SetLastError(ERROR_NOT_OWNER);
            return FALSE;
        }
        if (cur & st::kBusy) break;
        uint64_t next = MutexRules::released(cur);
        // Whoever is queued must be granted it, under the lock.
        if (!MutexRules::owner(next) && (cur & st::kWaiters)) break;
        if (hot.state.compare_exchange_weak(cur, next, std::memory_order_release)) return TRUE;
    }
    NoTerminate guard;
    Txn t(s);
    if (!ref_current(s, r)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    uint64_t state = t.touch(r.slot);
    if (st::owner(state) != key) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    uint64_t next = MutexRules::released(state);
    t.set_state(r.slot, next);
    if (!MutexRules::owner(next)) {
        settle_on_release(t, r.slot);
        walk(t, r.slot);
    }
    return TRUE;
}

void MutexRules::owner_ended(Txn& t, uint32_t slot, uint32_t owner_key) {
    uint64_t s = t.touch(slot);
    if (owner(s) != owner_key) return;
    t.set_state(slot, (s & st::kWaiters) | st::kAbandoned);
    settle_on_release(t, slot);
    walk(t, slot);
}

}  // namespace zkx::win32::kobj

extern "C" BOOL WINAPI ReleaseMutex(HANDLE h) {
    Segment* s;
    Ref r;
    if (!resolve_as(h, HandleType::Mutex, &s, &r)) return FALSE;
    return release_mutex(*s, r, current_key(*s));
}
