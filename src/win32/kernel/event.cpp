// Events.  Setting, resetting and pulsing an event nobody waits for is one
// compare-and-swap; with waiters queued the change goes through the lock so
// that the waiters are granted in order.
#include "kernel/event.h"
#include "kernel/internal.h"
#include "zkxwin32/errors.h"
#include "zkxwin32/sync.h"

using namespace zkx::win32;
using namespace zkx::win32::kobj;

namespace {

enum class EventOp { Set, Reset, Pulse };

BOOL change_event(HANDLE h, EventOp op) {
    Segment* s;
    Ref r;
    if (!resolve_as(h, HandleType::Event, &s, &r)) return FALSE;
    HotEntry& hot = s->hot[r.slot];
    uint64_t cur = hot.state.load(std::memory_order_acquire);
    // Resetting never releases anybody, so only a Txn in progress sends it
    // to the lock; setting and pulsing must also grant queued waiters.
    uint64_t slow = op == EventOp::Reset ? st::kBusy : st::kBusy | st::kWaiters;
    while (!(cur & slow) && hot.generation.load(std::memory_order_relaxed) == r.generation) {
        uint64_t next = EventRules::with_signal(cur, op == EventOp::Set);
        if (next == cur || hot.state.compare_exchange_weak(cur, next, std::memory_order_acq_rel)) return TRUE;
    }
    NoTerminate guard;
    Txn t(*s);
    if (!ref_current(*s, r)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    uint64_t state = t.touch(r.slot);
    if (op == EventOp::Reset) {
        t.set_state(r.slot, EventRules::with_signal(state, false));
        return TRUE;
    }
    t.set_state(r.slot, EventRules::with_signal(state, true));
    walk(t, r.slot);
    // A pulse gives the signal only to the threads that were queued just now.
    if (op == EventOp::Pulse) t.set_state(r.slot, EventRules::with_signal(t.touch(r.slot), false));
    return TRUE;
}

}  // namespace

extern "C" HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state,
                                      LPCSTR name) {
    uint64_t state = EventRules::initial(manual_reset, initial_state);
    return create_object(NewObject{kEvent, HandleType::Event, name, state, 0, 0, nullptr, nullptr});
}

extern "C" HANDLE WINAPI OpenEventA(DWORD, BOOL, LPCSTR name) {
    return open_object(kEvent, HandleType::Event, name);
}

extern "C" BOOL WINAPI SetEvent(HANDLE h) { return change_event(h, EventOp::Set); }
extern "C" BOOL WINAPI ResetEvent(HANDLE h) { return change_event(h, EventOp::Reset); }
extern "C" BOOL WINAPI PulseEvent(HANDLE h) { return change_event(h, EventOp::Pulse); }
