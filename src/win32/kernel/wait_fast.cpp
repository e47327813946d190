// WaitForSingleObject and WaitForMultipleObjects, and the waits they can
// decide without the namespace lock.
//
// An uncontended wait reads the state words and changes them by
// compare-and-swap; only a wait that must block, or that meets what only the
// lock can settle (a Txn at work, queued waiters before a wait-all, or
// whatever the object's type leaves to the lock), goes on to wait_objects.
// The ordering arguments are in kernel/KERNEL_OBJECTS.md, "Fast paths".
#include "kernel/internal.h"
#include "kernel/object_types.h"
#include "zkxwin32/errors.h"
#include "zkxwin32/sync.h"
#include "zkxwin32/thread.h"
#include "zkxwin32/time.h"

namespace zkx::win32::kobj {
namespace {

// What each type allows a wait without the lock (type_lock_free) and what
// taking makes of its word (type_taken) are the type's own rules
// (kernel/object_types.h); this file only does the compare-and-swap.

// One object.  Queued waiters do not stop it: a newcomer under the lock
// would be served before them as well, since a queued waiter that could
// take the object would have been granted it already.
bool wait_one_fast(Segment& s, HandleType type, Ref r, DWORD ms, DWORD* result) {
    HotEntry& hot = s.hot[r.slot];
    uint64_t cur = hot.state.load(std::memory_order_acquire);
    if ((cur & st::kBusy) || hot.generation.load(std::memory_order_relaxed) != r.generation) return false;
    uint32_t kind = object_type_of(type);
    uint32_t key = 0;
    if (type_owned(kind)) {
        arm_exit_hook();
        key = current_key(s);
    }
    switch (type_lock_free(kind, s, cur, key)) {
        case Take::Keep:
            *result = WAIT_OBJECT_0;
            return true;
        case Take::Own:
        case Take::Consume:
            if (!hot.state.compare_exchange_strong(cur, type_taken(kind, cur, key), std::memory_order_acq_rel))
                return false;
            *result = WAIT_OBJECT_0;
            return true;
        case Take::Cannot:
            if (ms != 0) return false;
            *result = WAIT_TIMEOUT;
            return true;
        case Take::Lock:
            break;
    }
    return false;
}

// Gives back the mutexes a failed wait-all took, last first.  The normal
// release path grants them to whoever queued meanwhile.
void give_back(Segment& s, const Ref* refs, const uint32_t* owned, uint32_t n, uint32_t key) {
    while (n-- > 0) release_mutex(s, refs[owned[n]], key);
}

// All objects at once, in three steps: the mutexes by compare-and-swap; then
// a second read of every object that taking leaves alone, which must find
// its word unchanged (events count their changes, so equal means untouched);
// then the one consuming object, if any, by compare-and-swap from the word
// read first.  Just after the last mutex was taken every object was
// satisfiable and nothing that was read has changed since, and the final
// swap is the only step that takes something nobody can hand back: a
// process killed before it has taken nothing but mutexes, which its death
// abandons; a process killed after it has waited successfully.  Any failed
// step gives the mutexes back and leaves the wait to the lock.
bool wait_all_fast(Segment& s, uint32_t count, const HandleType* types, const Ref* refs, DWORD ms,
                   DWORD* result) {
    uint64_t seen[kMaxWaitObjects];
    Take how[kMaxWaitObjects];
    uint32_t kinds[kMaxWaitObjects];
    uint32_t key = 0;
    uint32_t consumer = kNil;
    bool cannot = false;
    for (uint32_t i = 0; i < count; ++i) {
        HotEntry& hot = s.hot[refs[i].slot];
        seen[i] = hot.state.load(std::memory_order_seq_cst);
        // Queued waiters come first, and a Txn's word is not settled.
        if ((seen[i] & (st::kBusy | st::kWaiters)) ||
            hot.generation.load(std::memory_order_relaxed) != refs[i].generation)
            return false;
        kinds[i] = object_type_of(types[i]);
        if (key == 0 && type_owned(kinds[i])) {
            arm_exit_hook();
            key = current_key(s);
        }
        how[i] = type_lock_free(kinds[i], s, seen[i], key);
        if (how[i] == Take::Lock) return false;
        if (how[i] == Take::Cannot) cannot = true;
        if (how[i] == Take::Consume) {
            if (consumer != kNil) return false;  // two could not be taken at one instant
            consumer = i;
        }
    }
    if (cannot) {
        // That object was not satisfiable when it was read.
        if (ms != 0) return false;
        *result = WAIT_TIMEOUT;
        return true;
    }
    // A termination in the middle would abandon a mutex this wait never got.
    NoTerminate guard;
    uint32_t owned[kMaxWaitObjects];
    uint32_t n_owned = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (how[i] != Take::Own) continue;
        uint64_t expected = seen[i];
        if (!s.hot[refs[i].slot].state.compare_exchange_strong(expected, type_taken(kinds[i], seen[i], key),
                                                              std::memory_order_seq_cst)) {
            give_back(s, refs, owned, n_owned, key);
            return false;
        }
        owned[n_owned++] = i;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (how[i] == Take::Keep && s.hot[refs[i].slot].state.load(std::memory_order_seq_cst) != seen[i]) {
            give_back(s, refs, owned, n_owned, key);
            return false;
        }
    }
    if (consumer != kNil) {
        uint64_t expected = seen[consumer];
        if (!s.hot[refs[consumer].slot].state.compare_exchange_strong(
                expected, type_taken(kinds[consumer], seen[consumer], key), std::memory_order_seq_cst)) {
            give_back(s, refs, owned, n_owned, key);
            return false;
        }
    }
    *result = WAIT_OBJECT_0;
    return true;
}

}  // namespace
}  // namespace zkx::win32::kobj

using namespace zkx::win32;
using namespace zkx::win32::kobj;

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE h, DWORD ms) {
    // The pseudo handles of the calling thread and process name objects that
    // cannot end while this thread waits on them: as on Windows, the wait
    // runs its time out (an INFINITE one never returns).
    if (h == GetCurrentThread() || h == GetCurrentProcess()) {
        Sleep(ms);
        return WAIT_TIMEOUT;
    }
    HandleType type;
    Ref r;
    if (!resolve(h, &type, &r) || r.slot >= kMaxObjects) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    Segment* s = segment();
    if (!s) return WAIT_FAILED;
    DWORD result;
    if (wait_one_fast(*s, type, r, ms, &result)) return result;
    return wait_objects(*s, 1, &r, false, ms);
}

extern "C" DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD ms) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    Ref refs[kMaxWaitObjects];
    HandleType types[kMaxWaitObjects];
    for (DWORD i = 0; i < count; ++i) {
        if (!resolve(handles[i], &types[i], &refs[i]) || refs[i].slot >= kMaxObjects) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    if (wait_all) {
        // Taking one object twice at once means nothing; Windows refuses it.
        for (DWORD i = 0; i < count; ++i)
            for (DWORD j = i + 1; j < count; ++j)
                if (refs[i].slot == refs[j].slot) {
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return WAIT_FAILED;
                }
    }
    Segment* s = segment();
    if (!s) return WAIT_FAILED;
    DWORD result;
    bool decided = count == 1 ? wait_one_fast(*s, types[0], refs[0], ms, &result)
                              : wait_all && wait_all_fast(*s, count, types, refs, ms, &result);
    if (decided) return result;
    return wait_objects(*s, count, refs, wait_all != FALSE, ms);
}
