// Semaphores that count holders: a process that dies holding units gets
// them taken back, as a dead owner's mutex is handed on.
//
// A semaphore whose count means "how many are inside" (readers of a
// multi-reader lock) is not owned by anybody, so the death of a holder
// would leave its unit counted for ever, and whoever waits for the count to
// reach zero would wait for ever.  A tracked semaphore therefore remembers,
// per process, the units the process released minus those it took; the
// sweep of a dead process takes its balance back.  Taking it back is what
// the holders would have done on their way out, so it is done under the
// semaphore's guard mutex: while a live thread holds that mutex it may be in
// the middle of a step that moves the count and the zero event together,
// and the settlement waits until it lets go.  Afterwards the zero event
// says whether the count is zero, as it does after every leave.
//
// The count and the balances change in one Txn, so a process killed at any
// instant leaves them in agreement; that is why no fast path may change a
// tracked count.
#include <algorithm>

#include "kernel/internal.h"
#include "zkxwin32/errors.h"
#include "zkxwin32/sync.h"

namespace zkx::win32::kobj {
namespace {

uint64_t link_to(Ref r) { return ext::kLinked | ref_payload(r); }

// The object a link names, if it still exists.
bool linked(const Segment& s, uint64_t link, Ref* r) {
    if (!(link & ext::kLinked)) return false;
    *r = payload_ref(link & ~ext::kLinked);
    return ref_current(s, *r);
}

bool is_tracked(const Segment& s, uint32_t slot) {
    return s.hot[slot].type.load(std::memory_order_relaxed) == kSemaphore &&
           (s.hot[slot].state.load(std::memory_order_relaxed) & st::kTracked);
}

// Takes back what dead processes owed and makes the zero event agree with
// the count.  Only where no live thread holds the guard mutex.
void settle(Txn& t, uint32_t slot) {
    Segment& s = t.seg;
    ObjectSlot& o = s.objects[slot];
    uint64_t state = t.touch(slot);
    int64_t count = st::count(state);
    int64_t want = count - int64_t(o.ext[ext::kOwed]);
    want = std::clamp<int64_t>(want, 0, s.hot[slot].max_count.load(std::memory_order_relaxed));
    if (want != count) t.set_state(slot, st::semaphore_with(state, uint32_t(want)));
    t.put(o.ext[ext::kOwed], 0);
    Ref m;
    if (linked(s, o.ext[ext::kGuard], &m) && s.objects[m.slot].ext[ext::kPending]) {
        t.touch(m.slot);  // its kWaiters no longer needs to stand for the settlement
        t.put(s.objects[m.slot].ext[ext::kPending], 0);
    }
    Ref e;
    if (linked(s, o.ext[ext::kZero], &e)) {
        uint64_t es = t.touch(e.slot);
        bool zero = want == 0;
        if (((es & st::kSignalled) != 0) != zero) {
            t.set_state(e.slot, st::event_with(es, zero));
            if (zero) walk(t, e.slot);
        }
    }
    if (want > count) walk(t, slot);
}

// Settles now, or marks the guard mutex so that its release settles: a
// live holder may be half-way through moving the count and the event.
void settle_or_defer(Txn& t, uint32_t slot) {
    Segment& s = t.seg;
    Ref m;
    if (linked(s, s.objects[slot].ext[ext::kGuard], &m)) {
        uint32_t owner = st::owner(t.touch(m.slot));
        if (owner && process_alive(s, key_process(owner))) {
            // Touched, so the commit sets kWaiters and the owner's release
            // comes to the lock.
            t.put(s.objects[m.slot].ext[ext::kPending], 1);
            return;
        }
    }
    settle(t, slot);
}

}  // namespace

void count_units(Txn& t, uint32_t process, uint32_t slot, int64_t delta) {
    Segment& s = t.seg;
    if (process >= kMaxProcesses) return;
    int32_t& u = s.unit(process, slot);
    int64_t v = std::clamp<int64_t>(int64_t(u) + delta, INT32_MIN, INT32_MAX);
    t.put(u, int32_t(v));
    uint64_t& word = s.objects[slot].ext[ext::kHolders + process / 64];
    uint64_t bit = uint64_t(1) << (process % 64);
    t.put(word, v ? word | bit : word & ~bit);
}

void sweep_units(Txn& t, uint32_t p) {
    Segment& s = t.seg;
    uint32_t end = std::min(s.header->object_hwm, kMaxObjects);
    for (uint32_t slot = 0; slot < end; ++slot) {
        if (!is_tracked(s, slot)) continue;
        ObjectSlot& o = s.objects[slot];
        int32_t units = s.unit(p, slot);
        // A process that died holding the guard was inside a step of its
        // own; what it left half-done is finished even if its balance is 0.
        Ref m;
        uint32_t owner = linked(s, o.ext[ext::kGuard], &m)
                             ? st::owner(s.hot[m.slot].state.load(std::memory_order_relaxed))
                             : 0;
        bool held = owner && key_process(owner) == p;
        if (units == 0 && !held) continue;
        if (units) {
            t.put(o.ext[ext::kOwed], o.ext[ext::kOwed] + uint64_t(int64_t(units)));
            count_units(t, p, slot, -int64_t(units));
        }
        settle_or_defer(t, slot);
        t.maybe_checkpoint();
    }
}

void settle_on_release(Txn& t, uint32_t mutex_slot) {
    Segment& s = t.seg;
    ObjectSlot& mo = s.objects[mutex_slot];
    if (!mo.ext[ext::kPending]) return;
    Ref r;
    if (linked(s, mo.ext[ext::kCounter], &r) && is_tracked(s, r.slot)) settle(t, r.slot);
    t.put(mo.ext[ext::kPending], 0);
}

void forget_units(Txn& t, uint32_t slot) {
    Segment& s = t.seg;
    ObjectSlot& o = s.objects[slot];
    for (uint32_t w = 0; w < kMaxProcesses / 64; ++w) {
        uint64_t bits = o.ext[ext::kHolders + w];
        for (uint32_t b = 0; b < 64; ++b)
            if (bits & (uint64_t(1) << b)) t.put(s.unit(w * 64 + b, slot), 0);
    }
}

void sweep_dead_holders(Txn& t, uint32_t event_slot) {
    Segment& s = t.seg;
    Ref r;
    if (!linked(s, s.objects[event_slot].ext[ext::kCounter], &r) || !is_tracked(s, r.slot)) return;
    uint64_t bits[kMaxProcesses / 64];
    for (uint32_t w = 0; w < kMaxProcesses / 64; ++w) bits[w] = s.objects[r.slot].ext[ext::kHolders + w];
    for (uint32_t p = 0; p < kMaxProcesses; ++p) {
        if ((bits[p / 64] & (uint64_t(1) << (p % 64))) && p != s.self && !process_alive(s, p))
            sweep_process(t, p);
    }
}

bool foreign_holders(const Segment& s, uint32_t event_slot) {
    uint64_t link = __atomic_load_n(&s.objects[event_slot].ext[ext::kCounter], __ATOMIC_RELAXED);
    if (!(link & ext::kLinked)) return false;
    uint32_t slot = payload_ref(link & ~ext::kLinked).slot;
    if (slot >= kMaxObjects) return false;
    for (uint32_t w = 0; w < kMaxProcesses / 64; ++w) {
        uint64_t bits = __atomic_load_n(&s.objects[slot].ext[ext::kHolders + w], __ATOMIC_RELAXED);
        if (w == s.self / 64) bits &= ~(uint64_t(1) << (s.self % 64));
        if (bits) return true;
    }
    return false;
}

}  // namespace zkx::win32::kobj

using namespace zkx::win32;
using namespace zkx::win32::kobj;

extern "C" BOOL WINAPI zkx_semaphore_track_holders(HANDLE semaphore, HANDLE guard, HANDLE zero_event) {
    Segment* s;
    Ref sr, mr, er;
    if (!resolve_as(semaphore, HandleType::Semaphore, &s, &sr) || !resolve_as(guard, HandleType::Mutex, &s, &mr) ||
        !resolve_as(zero_event, HandleType::Event, &s, &er))
        return FALSE;
    NoTerminate no_terminate;
    Txn t(*s);
    if (!ref_current(*s, sr) || !ref_current(*s, mr) || !ref_current(*s, er)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ObjectSlot& so = s->objects[sr.slot];
    ObjectSlot& mo = s->objects[mr.slot];
    ObjectSlot& eo = s->objects[er.slot];
    uint64_t state = t.touch(sr.slot);
    if (state & st::kTracked) {
        // Every process that shares the objects says the same; anything
        // else would give one semaphore two guards.
        if (so.ext[ext::kGuard] == link_to(mr) && so.ext[ext::kZero] == link_to(er)) return TRUE;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Ref other;
    if (linked(*s, mo.ext[ext::kCounter], &other) || linked(*s, eo.ext[ext::kCounter], &other)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    t.put(so.ext[ext::kGuard], link_to(mr));
    t.put(so.ext[ext::kZero], link_to(er));
    t.put(so.ext[ext::kOwed], 0);
    t.put(mo.ext[ext::kCounter], link_to(sr));
    t.put(mo.ext[ext::kPending], 0);
    t.put(eo.ext[ext::kCounter], link_to(sr));
    t.set_state(sr.slot, state | st::kTracked);
    t.set_state(er.slot, t.touch(er.slot) | st::kTracked);
    return TRUE;
}
