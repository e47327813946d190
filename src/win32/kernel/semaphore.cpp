// Semaphores: a count between 0 and a maximum fixed at creation.
#include "kernel/internal.h"
#include "kernel/semaphore.h"
#include "zkxwin32/errors.h"
#include "zkxwin32/sync.h"

using namespace zkx::win32;
using namespace zkx::win32::kobj;

extern "C" HANDLE WINAPI CreateSemaphoreA(LPSECURITY_ATTRIBUTES, LONG initial, LONG maximum, LPCSTR name) {
    if (maximum <= 0 || initial < 0 || initial > maximum) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return create_object(
        NewObject{kSemaphore, HandleType::Semaphore, name, SemaphoreRules::initial(uint32_t(initial)), maximum, 0, nullptr, nullptr});
}

extern "C" HANDLE WINAPI OpenSemaphoreA(DWORD, BOOL, LPCSTR name) {
    return open_object(kSemaphore, HandleType::Semaphore, name);
}

extern "C" BOOL WINAPI ReleaseSemaphore(HANDLE h, LONG n, LPLONG previous) {
    if (n <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Segment* s;
    Ref r;
    if (!resolve_as(h, HandleType::Semaphore, &s, &r)) return FALSE;
    HotEntry& hot = s->hot[r.slot];
    int64_t maximum = hot.max_count.load(std::memory_order_relaxed);
    uint64_t cur = hot.state.load(std::memory_order_acquire);
    while (!(cur & (st::kBusy | st::kWaiters)) && SemaphoreRules::lock_free_release(cur) &&
           hot.generation.load(std::memory_order_relaxed) == r.generation) {
        uint32_t count = st::count(cur);
        uint64_t next;
        if (!SemaphoreRules::released(cur, uint32_t(n), maximum, &next)) {
            SetLastError(ERROR_TOO_MANY_POSTS);
            return FALSE;
        }
        if (hot.state.compare_exchange_weak(cur, next, std::memory_order_release)) {
            if (previous) *previous = LONG(count);
            return TRUE;
        }
    }
    NoTerminate guard;
    uint32_t count;
    {
        Txn t(*s);
        if (!ref_current(*s, r)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        uint64_t state = t.touch(r.slot);
        count = st::count(state);
        uint64_t next;
        if (!SemaphoreRules::released(state, uint32_t(n), maximum, &next)) {
            SetLastError(ERROR_TOO_MANY_POSTS);
            return FALSE;
        }
        t.set_state(r.slot, next);
        if (state & st::kTracked) count_units(t, s->self, r.slot, n);
        walk(t, r.slot);
    }
    if (previous) *previous = LONG(count);
    return TRUE;
}
