// Semaphores: a count between 0 and a maximum fixed at creation.
#include "kobj_internal.h"
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
        NewObject{kSemaphore, HandleType::Semaphore, name, uint64_t(uint32_t(initial)), maximum, 0, nullptr, nullptr});
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
    // A tracked count changes only together with the caller's balance.
    while (!(cur & (st::kBusy | st::kWaiters | st::kTracked)) && hot.generation.load(std::memory_order_relaxed) == r.generation) {
        uint32_t count = st::count(cur);
        if (int64_t(count) + n > maximum) {
            SetLastError(ERROR_TOO_MANY_POSTS);
            return FALSE;
        }
        if (hot.state.compare_exchange_weak(cur, st::semaphore_with(cur, count + uint32_t(n)),
                                            std::memory_order_release)) {
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
        if (int64_t(count) + n > maximum) {
            SetLastError(ERROR_TOO_MANY_POSTS);
            return FALSE;
        }
        t.set_state(r.slot, st::semaphore_with(state, count + uint32_t(n)));
        if (state & st::kTracked) count_units(t, s->self, r.slot, n);
        walk(t, r.slot);
    }
    if (previous) *previous = LONG(count);
    return TRUE;
}
