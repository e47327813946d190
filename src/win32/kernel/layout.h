// The byte layout of a namespace's shared segment (<namespace directory>/segment).
//
// Every process of the namespace maps the same file, so everything here is
// plain data at fixed offsets: no pointers, only indices.  A new layout must
// raise kLayoutVersion; a process refuses a file whose version, sizes or lock
// width differ from its own.
//
// The file is created sparse and every "empty" value is zero, so a fresh
// segment needs no initialisation beyond its header and only the pages that
// are used ever take memory.
#ifndef ZKXWIN32_KOBJ_LAYOUT_H
#define ZKXWIN32_KOBJ_LAYOUT_H

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace zkx::win32::kobj {

constexpr uint32_t kLayoutVersion = 4;
constexpr char kMagic[8] = {'Z', 'K', 'X', 'K', 'O', 'B', 'J', 0};

constexpr uint32_t kMaxObjects = 8192;
constexpr uint32_t kMaxProcesses = 256;  // the process index fills 8 bits of an owner key
constexpr uint32_t kMaxRecords = 2048;   // threads blocked at the same time, namespace-wide
constexpr uint32_t kMaxWaitObjects = 64;
constexpr uint32_t kJournalCapacity = 16384;
constexpr uint32_t kMaxNameLength = 260;
constexpr uint32_t kNil = 0xFFFFFFFFu;

enum ObjectType : uint32_t {
    kFree = 0,
    kEvent = 1,
    kMutex = 2,
    kSemaphore = 3,
    kThread = 4,
    kSection = 5,  // named shared memory; its data lives in a file of its own
    kTypeCount
};

// --- The state word -------------------------------------------------------
// One 64-bit word per object holds everything a wait or a signal needs, so
// an uncontended operation is a single compare-and-swap without the segment
// lock.  The top byte carries flags shared by every type:
//   kBusy      the lock holder is changing the object; fast paths must take
//              the lock instead (they would otherwise race the journal)
//   kWaiters   threads are queued on the object; set and cleared only
//              under the lock
//   kAbandoned (mutex) its owner ended without releasing it
//   kTracked   (semaphore) every process's units are counted, so that a dead
//              process's can be taken back: no fast path changes its count;
//              (event) the zero event of such a semaphore: a wait that finds
//              it reset goes to the lock, which looks for dead holders
// Below the flags, by type:
//   event      bit 0 signalled, bit 1 manual reset, bits 8-55 change count
//   mutex      bits 0-31 owner key, bits 32-55 recursion count
//   semaphore  bits 0-31 count, bits 32-55 change count
//   thread     bits 0-31 exit code, bit 32 ended
// The change counts make every change of an event or a semaphore a new word
// value, so a lock-free wait-all that reads a word twice and finds it equal
// knows the object kept its state in between (no A-B-A).  Every writer of
// those words goes through event_with / semaphore_with.
namespace st {
constexpr uint64_t kWaiters = uint64_t(1) << 56;
constexpr uint64_t kBusy = uint64_t(1) << 57;
constexpr uint64_t kAbandoned = uint64_t(1) << 58;
constexpr uint64_t kTracked = uint64_t(1) << 59;
constexpr uint64_t kFlags = uint64_t(0xFF) << 56;

constexpr uint64_t kSignalled = 1;
constexpr uint64_t kManual = 2;

constexpr uint64_t kOwnerMask = 0xFFFFFFFFu;
constexpr int kRecursionShift = 32;
constexpr uint64_t kRecursionMax = (uint64_t(1) << 24) - 1;
constexpr uint64_t kRecursionOne = uint64_t(1) << kRecursionShift;

constexpr uint64_t kEnded = uint64_t(1) << 32;

inline uint32_t owner(uint64_t s) { return uint32_t(s & kOwnerMask); }
inline uint64_t recursion(uint64_t s) { return (s >> kRecursionShift) & kRecursionMax; }

constexpr uint64_t kEventChangeOne = uint64_t(1) << 8;
constexpr uint64_t kEventChanges = ((uint64_t(1) << 48) - 1) << 8;
constexpr uint64_t kCountMask = 0xFFFFFFFFu;
constexpr uint64_t kSemaphoreChangeOne = uint64_t(1) << 32;
constexpr uint64_t kSemaphoreChanges = ((uint64_t(1) << 24) - 1) << 32;

// Adds one to a change count; it wraps inside its field, never into the flags.
inline uint64_t counted(uint64_t s, uint64_t changes, uint64_t one) {
    return (s & ~changes) | ((s + one) & changes);
}

// An event word with the signalled bit as asked; a real change is counted.
inline uint64_t event_with(uint64_t s, bool signalled) {
    uint64_t v = signalled ? s | kSignalled : s & ~kSignalled;
    return v == s ? s : counted(v, kEventChanges, kEventChangeOne);
}

inline uint32_t count(uint64_t s) { return uint32_t(s & kCountMask); }

// A semaphore word with a new count, the change counted.
inline uint64_t semaphore_with(uint64_t s, uint32_t count) {
    return counted((s & ~kCountMask) | count, kSemaphoreChanges, kSemaphoreChangeOne);
}
}  // namespace st

// An owner key names a thread namespace-wide: process index in the top byte,
// Linux thread id below (pid_max is at most 2^22).
inline uint32_t key_process(uint32_t key) { return key >> 24; }
inline uint32_t key_tid(uint32_t key) { return key & 0xFFFFFFu; }
inline uint32_t make_key(uint32_t process, uint32_t tid) { return (process << 24) | (tid & 0xFFFFFFu); }

// --- Records ----------------------------------------------------------------

enum JournalKind : uint16_t { kPlain = 0, kTouch = 1 };

struct JournalEntry {
    uint32_t offset;  // from the segment's first byte
    uint16_t width;   // 4 or 8
    uint16_t kind;
    uint64_t old;
};

// Read without the lock by fast paths, so every field is atomic.
struct HotEntry {
    std::atomic<uint64_t> state;
    std::atomic<uint32_t> generation;  // changes whenever the slot is freed
    std::atomic<uint32_t> type;
    std::atomic<int32_t> max_count;  // semaphore maximum, fixed at creation
    uint32_t reserved[3];
};
static_assert(sizeof(HotEntry) == 32, "hot entries share cache lines in pairs");

constexpr uint32_t kExtWords = 8;

// What the ext words hold for the objects of a tracked semaphore (see
// zkx_semaphore_track_holders); a link is a Ref payload with kLinked set, so
// that zero means none.
namespace ext {
constexpr uint64_t kLinked = uint64_t(1) << 63;
// semaphore
constexpr uint32_t kGuard = 0;    // its mutex
constexpr uint32_t kZero = 1;     // its event, set while the count is 0
constexpr uint32_t kOwed = 2;     // units of dead processes not yet taken back
constexpr uint32_t kHolders = 3;  // 4 words: a bit per process with units
// mutex and event
constexpr uint32_t kCounter = 0;  // the semaphore that names it
// mutex
constexpr uint32_t kPending = 1;  // nonzero: settle the semaphore when it is released
}  // namespace ext

// Everything else about an object; touched only under the lock.
struct ObjectSlot {
    uint32_t handles;  // open handles in all processes (a running thread counts as one)
    uint32_t waits;    // queued waits that name the object
    uint32_t creator;  // process index
    uint32_t named;
    uint32_t wait_head;  // queue of link ids (record * kMaxWaitObjects + i)
    uint32_t wait_tail;
    uint32_t next_free;
    uint32_t thread_id;  // thread: its Linux tid
    uint32_t terminate_requested;
    uint32_t terminate_code;
    uint32_t name_length;
    uint32_t reserved[5];
    uint64_t ext[kExtWords];  // per-type data of later object types
    char name[kMaxNameLength + 4];
};

struct ProcessEntry {
    std::atomic<uint32_t> live;
    std::atomic<uint32_t> pid;
    std::atomic<uint64_t> start_time;  // clock ticks since boot, from /proc
    std::atomic<uint32_t> generation;  // bumped on every registration
    uint32_t reserved[11];
};
static_assert(sizeof(ProcessEntry) == 64, "one cache line per process");

enum RecordState : uint32_t { kRecordFree = 0, kRecordWaiting = 1, kRecordGranted = 2 };

struct WaitLink {
    uint32_t next;
    uint32_t prev;
};

// One blocked thread.  It is queued on each distinct object it names; a
// thread that changes an object hands the record what it can take.
struct WaitRecord {
    std::atomic<uint32_t> futex;  // 0 while waiting, 1 once granted
    uint32_t state;
    uint32_t process;
    uint32_t key;
    uint32_t wait_all;
    uint32_t count;     // positions, as the caller passed them
    uint32_t distinct;  // distinct objects, each linked once
    uint32_t result;
    uint32_t next_free;
    uint32_t reserved[7];
    uint32_t objects[kMaxWaitObjects];  // slot per caller position
    uint32_t linked[kMaxWaitObjects];   // slot per distinct object
    WaitLink links[kMaxWaitObjects];
};

struct alignas(64) SegmentHeader {
    char magic[8];
    uint32_t version;
    uint32_t header_size;
    uint64_t total_size;
    uint32_t max_objects;
    uint32_t max_processes;
    uint32_t max_records;
    uint32_t max_wait_objects;
    uint32_t journal_capacity;
    uint32_t mutex_size;  // sizeof(pthread_mutex_t) of the creator
    uint32_t ready;       // written last by the creator
    uint32_t creator_uid;  // must match the file's owner

    alignas(64) pthread_mutex_t lock;  // process-shared, robust

    // Under the lock.
    alignas(64) std::atomic<uint32_t> journal_count;
    uint32_t touched_count;
    uint32_t wake_count;
    uint32_t object_hwm;  // slots below it have been used at least once
    uint32_t object_free;
    uint32_t record_hwm;
    uint32_t record_free;
    uint32_t process_generation;
    uint32_t lock_holder;  // process index, for diagnostics
};

constexpr size_t page_align(size_t v) { return (v + 4095) & ~size_t(4095); }

// Offsets of the arrays that follow the header, each page aligned.
struct Layout {
    static constexpr size_t journal = page_align(sizeof(SegmentHeader));
    static constexpr size_t touched = page_align(journal + sizeof(JournalEntry) * kJournalCapacity);
    static constexpr size_t wakes = page_align(touched + sizeof(uint32_t) * kMaxObjects);
    static constexpr size_t processes = page_align(wakes + sizeof(uint32_t) * kMaxRecords);
    static constexpr size_t hot = page_align(processes + sizeof(ProcessEntry) * kMaxProcesses);
    static constexpr size_t hashes = page_align(hot + sizeof(HotEntry) * kMaxObjects);
    static constexpr size_t objects = page_align(hashes + sizeof(uint32_t) * kMaxObjects);
    static constexpr size_t records = page_align(objects + sizeof(ObjectSlot) * kMaxObjects);
    static constexpr size_t refs = page_align(records + sizeof(WaitRecord) * kMaxRecords);
    // A process's units of each tracked semaphore: what it released minus
    // what it took.
    static constexpr size_t units = page_align(refs + sizeof(uint32_t) * kMaxProcesses * kMaxObjects);
    static constexpr size_t total = page_align(units + sizeof(int32_t) * kMaxProcesses * kMaxObjects);
};

}  // namespace zkx::win32::kobj

#endif
