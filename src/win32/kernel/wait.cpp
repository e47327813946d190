// Waiting, as a kernel does it: a thread that cannot be satisfied at once
// queues a wait record on each object it names and sleeps on the record's
// futex.  Whoever changes an object walks its queue in order and grants each
// record that can now be satisfied: it takes the objects on the waiter's
// behalf, writes the result and wakes it.  So a pulse releases exactly the
// threads that were waiting, and a wait-all record is granted only at a
// moment when all its objects can be taken together.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "kernel/internal.h"
#include "kernel/object_types.h"
#include "zkxwin32/errors.h"
#include "zkxwin32/sync.h"

namespace zkx::win32::kobj {
namespace {

thread_local uint32_t t_record __attribute__((tls_model("initial-exec"))) = kNil;

// How often a thread waiting for a mutex that another process owns checks
// that the owner still runs.  A killed owner cannot tell anybody.
constexpr long kOwnerCheckMs = 20;

WaitLink& link_at(Segment& s, uint32_t link) {
    return s.records[link / kMaxWaitObjects].links[link % kMaxWaitObjects];
}

void enqueue(Txn& t, uint32_t slot, uint32_t record, uint32_t i) {
    Segment& s = t.seg;
    t.touch(slot);  // its kWaiters flag is recomputed at commit
    ObjectSlot& o = s.objects[slot];
    uint32_t link = record * kMaxWaitObjects + i;
    WaitLink& l = s.records[record].links[i];
    t.put(l.next, kNil);
    t.put(l.prev, o.wait_tail);
    if (o.wait_tail != kNil) t.put(link_at(s, o.wait_tail).next, link);
    else t.put(o.wait_head, link);
    t.put(o.wait_tail, link);
}

void dequeue(Txn& t, uint32_t slot, uint32_t record, uint32_t i) {
    Segment& s = t.seg;
    t.touch(slot);
    ObjectSlot& o = s.objects[slot];
    WaitLink& l = s.records[record].links[i];
    if (l.prev != kNil) t.put(link_at(s, l.prev).next, l.next);
    else t.put(o.wait_head, l.next);
    if (l.next != kNil) t.put(link_at(s, l.next).prev, l.prev);
    else t.put(o.wait_tail, l.prev);
    t.put(l.next, kNil);
    t.put(l.prev, kNil);
}

uint32_t type_of(const Segment& s, uint32_t slot) { return s.hot[slot].type.load(std::memory_order_relaxed); }

// Whether the thread with this key could take the object now.  Touches the
// object first, so no fast path changes it between this check and the take.
bool ready_for(Txn& t, uint32_t slot, uint32_t key) {
    uint64_t s = t.touch(slot);
    return type_signalled_for(type_of(t.seg, slot), s, key);
}

// Takes a ready object for the key; true when its owner had died holding it.
bool consume(Txn& t, uint32_t slot, uint32_t key) {
    return type_take(type_of(t.seg, slot), t, slot, t.touch(slot), key);
}

bool try_satisfy(Txn& t, uint32_t key, uint32_t count, const uint32_t* slots, bool all, DWORD* result) {
    if (!all) {
        for (uint32_t i = 0; i < count; ++i) {
            if (ready_for(t, slots[i], key)) {
                *result = (consume(t, slots[i], key) ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + i;
                return true;
            }
        }
        return false;
    }
    for (uint32_t i = 0; i < count; ++i)
        if (!ready_for(t, slots[i], key)) return false;
    // As on Windows, a wait-all reports that some mutex was abandoned, not
    // which: WAIT_ABANDONED_0 whatever its index.
    bool abandoned = false;
    for (uint32_t i = 0; i < count; ++i) abandoned |= consume(t, slots[i], key);
    *result = abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0;
    return true;
}

void grant(Txn& t, uint32_t record, DWORD result) {
    WaitRecord& w = t.seg.records[record];
    for (uint32_t i = 0; i < w.distinct; ++i) dequeue(t, w.linked[i], record, i);
    t.put(w.result, result);
    t.put(w.state, uint32_t(kRecordGranted));
    t.put(w.futex, 1u);
    t.wake(record);
}

uint32_t alloc_record(Txn& t) {
    Segment& s = t.seg;
    SegmentHeader* h = s.header;
    uint32_t r = h->record_free;
    if (r != kNil) {
        if (r < kMaxRecords && s.records[r].state == kRecordFree) {
            t.put(h->record_free, s.records[r].next_free);
            table_has_room(Table::Records);
            return r;
        }
        t.put(h->record_free, kNil);  // damaged list
    }
    if (h->record_hwm < kMaxRecords) {
        r = h->record_hwm;
        t.put(h->record_hwm, r + 1);
        table_has_room(Table::Records);
        return r;
    }
    return kNil;
}

// Settles, for each object, what dead processes left a waiter stuck behind
// (a mutex they owned, units they held).  Under the lock.
void sweep_dead_owners(Txn& t, uint32_t count, const uint32_t* slots) {
    Segment& s = t.seg;
    for (uint32_t i = 0; i < count; ++i)
        type_sweep_dead(type_of(s, slots[i]), t, slots[i], s.hot[slots[i]].state.load(std::memory_order_relaxed));
}

// Whether another process stands between the record and one of its
// objects; read without the lock, as a hint for how long to sleep.
bool foreign_owner(const Segment& s, const WaitRecord& w) {
    for (uint32_t i = 0; i < w.distinct; ++i) {
        uint32_t slot = w.linked[i];
        if (type_foreign(type_of(s, slot), s, slot, s.hot[slot].state.load(std::memory_order_relaxed)))
            return true;
    }
    return false;
}

timespec now_monotonic() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

timespec add_ms(timespec t, long ms) {
    t.tv_sec += ms / 1000;
    t.tv_nsec += (ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_nsec -= 1000000000L;
        t.tv_sec += 1;
    }
    return t;
}

bool before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

void futex_wait_until(std::atomic<uint32_t>* word, const timespec* deadline) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_BITSET, 0u, deadline, nullptr,
            FUTEX_BITSET_MATCH_ANY);
}

// Ends this thread's wait; the result it was granted, or WAIT_TIMEOUT.
DWORD finish_wait(Txn& t, uint32_t record) {
    WaitRecord& w = t.seg.records[record];
    DWORD result = w.state == kRecordGranted ? w.result : WAIT_TIMEOUT;
    free_record(t, record);
    t_record = kNil;
    return result;
}

DWORD sleep_until_granted(Segment& s, uint32_t record, bool infinite, timespec deadline) {
    WaitRecord& w = s.records[record];
    for (;;) {
        timespec now = now_monotonic();
        timespec until = deadline;
        bool check_owners = foreign_owner(s, w);
        if (check_owners) {
            timespec slice = add_ms(now, kOwnerCheckMs);
            if (infinite || before(slice, until)) until = slice;
        }
        if (w.futex.load(std::memory_order_acquire) == 0)
            futex_wait_until(&w.futex, infinite && !check_owners ? nullptr : &until);
        Txn t(s);
        if (w.state == kRecordGranted) return finish_wait(t, record);
        if (!infinite && !before(now_monotonic(), deadline)) return finish_wait(t, record);
        if (check_owners) {
            sweep_dead_owners(t, w.distinct, w.linked);
            if (w.state == kRecordGranted) return finish_wait(t, record);
        }
    }
}

struct ExitHook {
    ~ExitHook() { release_thread_resources(); }
};
thread_local ExitHook t_exit_hook;

}  // namespace

__thread bool t_exit_hooked __attribute__((tls_model("initial-exec"))) = false;

void hook_thread_exit() {
    t_exit_hooked = true;
    (void)&t_exit_hook;  // first use registers its destructor with the thread
}

void release_thread_resources() {
    Segment* s = segment_if_attached();
    if (!s) return;
    uint32_t key = current_key(*s);
    bool owns = false;
    // The whole table, not up to the high-water mark: that word changes under
    // the namespace lock, which a thread on its way out does not take unless
    // it must.  Unused slots read as empty.
    for (uint32_t slot = 0; slot < kMaxObjects && !owns; ++slot) {
        owns = type_owner(type_of(*s, slot), s->hot[slot].state.load(std::memory_order_relaxed)) == key;
    }
    if (!owns && t_record == kNil) return;
    Txn t(*s);
    if (t_record != kNil) {
        // Ended inside a wait: whatever was granted is given back below or,
        // for events and semaphores, lost as on Windows.
        free_record(t, t_record);
        t_record = kNil;
    }
    abandon_owned(t, key);
}

void walk(Txn& t, uint32_t slot) {
    Segment& s = t.seg;
    uint32_t link = s.objects[slot].wait_head;
    while (link != kNil) {
        uint32_t record = link / kMaxWaitObjects;
        if (record >= kMaxRecords) break;
        uint32_t next = link_at(s, link).next;
        WaitRecord& w = s.records[record];
        if (w.state == kRecordWaiting) {
            DWORD result;
            if (w.process != s.self && !process_alive(s, w.process)) {
                t.mark_dead(w.process);  // a dead waiter must not swallow a signal
            } else if (try_satisfy(t, w.key, w.count, w.objects, w.wait_all != 0, &result)) {
                grant(t, record, result);
                // An object that is no longer signalled has nothing left to give.
                if (!type_signalled(type_of(s, slot), t.state(slot))) break;
                t.maybe_checkpoint();
            }
        }
        link = next;
    }
}

void free_record(Txn& t, uint32_t record) {
    Segment& s = t.seg;
    WaitRecord& w = s.records[record];
    if (w.state == kRecordFree) return;
    if (w.state == kRecordWaiting)
        for (uint32_t i = 0; i < w.distinct; ++i) dequeue(t, w.linked[i], record, i);
    t.put(w.state, uint32_t(kRecordFree));
    t.put(w.next_free, s.header->record_free);
    t.put(s.header->record_free, record);
    uint32_t distinct = std::min(w.distinct, kMaxWaitObjects);
    for (uint32_t i = 0; i < distinct; ++i) drop_wait(t, w.linked[i]);
}

DWORD wait_objects(Segment& s, uint32_t count, const Ref* refs, bool wait_all, DWORD timeout_ms) {
    bool infinite = timeout_ms == INFINITE;
    timespec deadline = add_ms(now_monotonic(), infinite ? 0 : long(timeout_ms));
    uint32_t slots[kMaxWaitObjects] = {};
    for (uint32_t i = 0; i < count; ++i) slots[i] = refs[i].slot;
    arm_exit_hook();
    uint32_t key = current_key(s);
    uint32_t record;
    {
        Txn t(s);
        for (uint32_t i = 0; i < count; ++i) {
            if (!ref_current(s, refs[i]) || !type_waitable(type_of(s, slots[i]))) {
                SetLastError(ERROR_INVALID_HANDLE);
                return WAIT_FAILED;
            }
        }
        sweep_dead_owners(t, count, slots);
        for (uint32_t i = 0; i < count; ++i) {
            if (DWORD err = type_refuses(type_of(s, slots[i]), t.state(slots[i]), key)) {
                SetLastError(err);
                return WAIT_FAILED;
            }
        }
        DWORD result;
        if (try_satisfy(t, key, count, slots, wait_all, &result)) return result;
        if (timeout_ms == 0) return WAIT_TIMEOUT;
        record = alloc_record(t);
        if (record == kNil) {
            table_full(Table::Records);
            return WAIT_FAILED;
        }
        // A free record is invisible until its state word says otherwise,
        // so only that word and the queues need the journal.
        WaitRecord& w = s.records[record];
        w.futex.store(0, std::memory_order_relaxed);
        w.process = s.self;
        w.key = key;
        w.wait_all = wait_all ? 1 : 0;
        w.count = count;
        w.result = 0;
        w.next_free = kNil;
        w.distinct = 0;
        for (uint32_t i = 0; i < count; ++i) {
            w.objects[i] = slots[i];
            if (std::find(w.linked, w.linked + w.distinct, slots[i]) == w.linked + w.distinct)
                w.linked[w.distinct++] = slots[i];
        }
        t.put(w.state, uint32_t(kRecordWaiting));
        for (uint32_t i = 0; i < w.distinct; ++i) {
            ObjectSlot& o = s.objects[w.linked[i]];
            t.put(o.waits, o.waits + 1);
            enqueue(t, w.linked[i], record, i);
        }
        t_record = record;
    }
    return sleep_until_granted(s, record, infinite, deadline);
}

}  // namespace zkx::win32::kobj
