// Inner workings of the kernel objects, shared by their source files.
//
// Every change to the segment happens in a Txn: it holds the segment's robust
// lock and journals the old value of each word it writes.  A process that
// dies inside a Txn leaves the lock "owner dead"; the next locker replays the
// journal backwards and so sees the segment as it was before that Txn began.
// A Txn may checkpoint (forget its journal) wherever the segment is
// consistent, which keeps the journal small during long sweeps.
//
// State words are also changed without the lock by the fast paths.  A Txn
// therefore "touches" an object before changing its state: it sets kBusy by
// compare-and-swap, which sends fast paths to the lock until the Txn commits
// and clears the bit again.
#ifndef ZKXWIN32_KOBJ_INTERNAL_H
#define ZKXWIN32_KOBJ_INTERNAL_H

#include <atomic>
#include <cstdint>

#include "base/handle_table.h"
#include "kernel/layout.h"
#include "base/thread_guard.h"
#include "zkxwin32/errors.h"

// Nothing here leaves the library, so calls between its sources need no PLT.
#pragma GCC visibility push(hidden)

namespace zkx::win32::kobj {

struct Segment {
    uint8_t* base;
    SegmentHeader* header;
    JournalEntry* journal;
    uint32_t* touched;
    uint32_t* wakes;
    ProcessEntry* processes;
    HotEntry* hot;
    uint32_t* hashes;
    ObjectSlot* objects;
    WaitRecord* records;
    uint32_t* refs;
    int32_t* units;
    uint32_t self;  // this process's index

    uint32_t& ref(uint32_t process, uint32_t slot) {
        return refs[size_t(process) * kMaxObjects + slot];
    }
    int32_t& unit(uint32_t process, uint32_t slot) {
        return units[size_t(process) * kMaxObjects + slot];
    }
};

// Every kernel-object call starts with these, so they are inline: a lookup
// of the attached segment is one load, the tid one initial-exec TLS read
// (__thread, as a C++ thread_local declared extern would be reached through
// a wrapper call).
extern std::atomic<Segment*> g_attached;
extern __thread uint32_t t_tid __attribute__((tls_model("initial-exec")));
Segment* attach_segment();
uint32_t fetch_tid();

// The namespace's segment, mapped and this process registered on first use;
// null with the last error set when that is impossible.
inline Segment* segment() {
    Segment* s = g_attached.load(std::memory_order_acquire);
    return s ? s : attach_segment();
}
// The segment if this process uses it already; never maps it.
inline Segment* segment_if_attached() { return g_attached.load(std::memory_order_acquire); }

// The calling thread's Linux tid (cached) and its owner key.
inline uint32_t current_tid() {
    uint32_t tid = t_tid;
    return tid ? tid : fetch_tid();
}
inline uint32_t current_key(const Segment& s) { return make_key(s.self, current_tid()); }

// The object a handle stands for.
struct Ref {
    uint32_t slot;
    uint32_t generation;
};
inline uint64_t ref_payload(Ref r) { return (uint64_t(r.generation) << 16) | r.slot; }
inline Ref payload_ref(uint64_t p) { return Ref{uint32_t(p & 0xFFFF), uint32_t(p >> 16)}; }

class Txn {
public:
    explicit Txn(Segment& s);
    ~Txn();
    Txn(const Txn&) = delete;
    Txn& operator=(const Txn&) = delete;

    Segment& seg;

    // Journaled stores.
    void put(uint32_t& field, uint32_t value) { store(&field, 4, value); }
    void put(std::atomic<uint32_t>& field, uint32_t value) { store(&field, 4, value); }
    void put(std::atomic<int32_t>& field, int32_t value) { store(&field, 4, uint32_t(value)); }
    void put(std::atomic<uint64_t>& field, uint64_t value) { store(&field, 8, value); }
    void put(uint64_t& field, uint64_t value) { store(&field, 8, value); }
    void put(int32_t& field, int32_t value) { store(&field, 4, uint32_t(value)); }

    // Claims an object's state word for this Txn; returns it without flags
    // other than kWaiters/kAbandoned.
    uint64_t touch(uint32_t slot);
    // The state of a touched object (kBusy stripped), and its new value.
    uint64_t state(uint32_t slot) const;
    void set_state(uint32_t slot, uint64_t value);

    // Wakes a granted wait record once the changes are committed.
    void wake(uint32_t record);
    // Asks for a dead process to be swept before this Txn ends.
    void mark_dead(uint32_t process);

    // Makes everything so far permanent; only where the segment is consistent.
    void checkpoint();
    // Checkpoints when the journal is filling up.
    void maybe_checkpoint();

private:
    void store(void* field, int width, uint64_t value);
    void append(void* field, int width, uint16_t kind, uint64_t old);
    void finish_touched();
    void recover();

    NoTerminate no_terminate_;
    uint64_t dead_[kMaxProcesses / 64] = {};
    bool any_dead_ = false;
};

// Whether a registered process still runs.  Under the lock only.
bool process_alive(Segment& s, uint32_t process);

// The namespace-wide tables whose end callers meet as 1450.
enum class Table { Processes, Objects, Records };
// Sets ERROR_NO_SYSTEM_RESOURCES; says so on stderr once until the table
// has room again.
void table_full(Table which);
void table_has_room(Table which);

// --- Objects (kernel/table.cpp) -------------------------------------------------

struct NewObject {
    ObjectType type;
    HandleType handle_type;
    const char* name;     // null or empty: private to this process
    uint64_t state;       // initial state word of a new object
    int32_t max_count;    // semaphore
    uint32_t extra_refs;  // references beyond the handle (a running thread's own)
    void (*init)(uint64_t ext[8], void* ctx);
    void* ctx;
};

// Creates the object or opens the existing one of that name; last error 0
// or 183.  Null with the last error set on failure.
HANDLE create_object(const NewObject& n, Ref* made = nullptr);
HANDLE open_object(ObjectType type, HandleType handle_type, const char* name);
BOOL close_object_handle(const HandleEntry& entry);

// Resolves a handle of one of the kernel-object handle types.  Checks only
// the local table; the object's generation is checked under the lock.
inline bool resolve(HANDLE h, HandleType* type, Ref* ref) {
    HandleEntry e;
    if (!handle_lookup(h, &e)) return false;
    switch (e.type) {
        case HandleType::Event:
        case HandleType::Mutex:
        case HandleType::Semaphore:
        case HandleType::Thread:
            *type = e.type;
            *ref = payload_ref(e.payload);
            return true;
        default:
            return false;
    }
}
bool ref_current(const Segment& s, Ref r);
// Resolves a handle that must be of one type and maps the segment; false
// with the last error set (6 for a wrong handle).
inline bool resolve_as(HANDLE h, HandleType want, Segment** s, Ref* ref) {
    HandleType type;
    if (!resolve(h, &type, ref) || type != want || ref->slot >= kMaxObjects) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    *s = segment();
    return *s != nullptr;
}

// Drops one reference of a process; frees the object when none is left.
void drop_handle(Txn& t, uint32_t process, uint32_t slot);
void drop_wait(Txn& t, uint32_t slot);
// Frees everything a dead process held and abandons what it owned.
void sweep_process(Txn& t, uint32_t process);
// Sweeps every registered process that is no longer alive.
void sweep_dead_processes(Txn& t);
// Abandons the mutexes a thread owns (it is ending).
void abandon_owned(Txn& t, uint32_t key);

// --- Tracked semaphores (kernel/semaphore_holders.cpp) --------------------------------------

// Counts units a process gave (positive) or took (negative) of a tracked
// semaphore; the caller changes the count in the same Txn.
void count_units(Txn& t, uint32_t process, uint32_t slot, int64_t delta);
// Takes back the units of a dead process and finishes, for the semaphores
// whose mutex it held, what it was doing; before its mutexes are abandoned.
void sweep_units(Txn& t, uint32_t process);
// A mutex whose semaphore still owes a settlement has just become free.
void settle_on_release(Txn& t, uint32_t mutex_slot);
// Forgets the units held of a semaphore that is being freed.
void forget_units(Txn& t, uint32_t slot);
// Sweeps the dead holders of the tracked semaphore whose zero event this is.
void sweep_dead_holders(Txn& t, uint32_t event_slot);
// Whether other processes hold units of the semaphore behind this zero
// event; read without the lock, as a hint for how long to sleep.
bool foreign_holders(const Segment& s, uint32_t event_slot);

// --- Waits (kernel/wait.cpp) ----------------------------------------------------

// Grants what an object can now give to the threads queued on it.
void walk(Txn& t, uint32_t slot);
// Unlinks and frees a wait record, whatever its state.
void free_record(Txn& t, uint32_t record);

// Makes sure the calling thread gives up its mutexes when it ends, however
// it ends; called before a thread can come to own one.
extern __thread bool t_exit_hooked __attribute__((tls_model("initial-exec")));
void hook_thread_exit();
inline void arm_exit_hook() {
    if (!t_exit_hooked) hook_thread_exit();
}
// Abandons the calling thread's mutexes and drops its wait; for a thread
// that is ending.
void release_thread_resources();

// Gives up one level of a mutex the key owns; grants queued waiters when it
// becomes free.  FALSE with the last error set (288 when the key does not
// own it).
BOOL release_mutex(Segment& s, Ref r, uint32_t key);

// Waits on resolved objects; returns a Win32 wait result and sets the last
// error on WAIT_FAILED.
DWORD wait_objects(Segment& s, uint32_t count, const Ref* refs, bool wait_all, DWORD timeout_ms);

}  // namespace zkx::win32::kobj

#pragma GCC visibility pop

#endif
