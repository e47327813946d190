// The namespace's shared segment: mapping it, registering this process,
// the journaled lock (Txn) and telling live processes from dead ones.
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "kernel/kernel_objects.h"
#include "kernel/internal.h"
#include "kernel/object_types.h"
#include "base/errno_map.h"
#include "system/namespace_dir.h"
#include "zkxwin32/errors.h"

namespace zkx::win32::kobj {

__thread uint32_t t_tid __attribute__((tls_model("initial-exec"))) = 0;
std::atomic<Segment*> g_attached{nullptr};  // mapped and registered

namespace {

Segment g_segment;
bool g_mapped = false;
int g_segment_fd = -1;  // locked shared while this process is attached
std::mutex g_attach_lock;
std::string g_namespace;
std::string g_segment_path;

// Once per text: a process that retries an unusable namespace on every
// call must not flood its stderr.
void complain(const std::string& text) { namespace_complain(text); }

// --- /proc ----------------------------------------------------------------------

// State letter and start time (clock ticks since boot) of a process.
bool read_proc_stat(pid_t pid, char* state, uint64_t* start_time) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[1024];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return false;
    buf[n] = 0;
    // The command name may hold spaces and parentheses; the fields after it
    // start behind the last ')'.
    char* p = std::strrchr(buf, ')');
    if (!p) return false;
    p += 1;
    int field = 2;
    char* save = nullptr;
    for (char* tok = strtok_r(p, " ", &save); tok; tok = strtok_r(nullptr, " ", &save)) {
        ++field;
        if (field == 3) *state = tok[0];
        if (field == 22) {
            *start_time = std::strtoull(tok, nullptr, 10);
            return true;
        }
    }
    return false;
}

// --- Liveness -------------------------------------------------------------------
// A pidfd per other process, opened once and checked with a zero-timeout
// poll: it turns readable when the process exits, zombie or not.  Used only
// under the segment lock, which serialises all threads of all processes.

struct Liveness {
    uint32_t generation = 0;
    int fd = -1;
    bool dead = false;
};
Liveness g_liveness[kMaxProcesses];

bool stat_says_alive(pid_t pid, uint64_t start_time) {
    char state = 0;
    uint64_t start = 0;
    if (!read_proc_stat(pid, &state, &start)) return false;
    return start == start_time && state != 'Z' && state != 'X' && state != 'x';
}

void forget_liveness() {
    for (auto& l : g_liveness) {
        if (l.fd >= 0) close(l.fd);
        l = Liveness{};
    }
}

// --- Segment file ---------------------------------------------------------------

// The file is fresh, so every other field is already zero.
void init_header(SegmentHeader* h) {
    h->version = kLayoutVersion;
    h->header_size = sizeof(SegmentHeader);
    h->total_size = Layout::total;
    h->max_objects = kMaxObjects;
    h->max_processes = kMaxProcesses;
    h->max_records = kMaxRecords;
    h->max_wait_objects = kMaxWaitObjects;
    h->journal_capacity = kJournalCapacity;
    h->mutex_size = sizeof(pthread_mutex_t);
    h->creator_uid = uint32_t(geteuid());
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&h->lock, &attr);
    pthread_mutexattr_destroy(&attr);
    h->object_free = kNil;
    h->record_free = kNil;
    h->lock_holder = kNil;
    std::memcpy(h->magic, kMagic, sizeof kMagic);
    __atomic_store_n(&h->ready, 1u, __ATOMIC_RELEASE);
}

// Why an existing header cannot be used, or empty when it can.
std::string header_problem(const SegmentHeader& h) {
    if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0) return "is not a kernel-object segment";
    if (h.version != kLayoutVersion)
        return "has layout version " + std::to_string(h.version) + ", this process needs " +
               std::to_string(kLayoutVersion);
    if (h.header_size != sizeof(SegmentHeader) || h.total_size != Layout::total ||
        h.max_objects != kMaxObjects || h.max_processes != kMaxProcesses ||
        h.max_records != kMaxRecords || h.max_wait_objects != kMaxWaitObjects ||
        h.journal_capacity != kJournalCapacity || h.mutex_size != sizeof(pthread_mutex_t))
        return "was made with different table sizes";
    if (h.ready != 1) return "was never completed";
    return {};
}

// Why the header of a non-empty segment file cannot be used, or empty when
// it can; *unfinished when its creator died before laying it out, which
// whoever is alone with the file lays out afresh.
std::string file_header_problem(int fd, off_t size, bool* unfinished) {
    SegmentHeader h;
    std::memset(static_cast<void*>(&h), 0, sizeof h);
    if (size < off_t(sizeof h) || pread(fd, &h, sizeof h, 0) != ssize_t(sizeof h)) {
        *unfinished = false;
        return "is too short";
    }
    *unfinished = h.ready == 0 && h.magic[0] == 0;
    return header_problem(h);
}

// Opens the segment file locked: exclusively when no other process is
// attached (*alone), else shared.  Every attached process keeps a shared lock,
// so the exclusive one proves that nobody uses the file.  A file that only a
// different build can have made (its header is foreign: another layout
// version, other table sizes) or that is too short to hold the segment is
// then replaced by a new file; it is unlinked, not truncated, because
// processes of that build may still map it.  Whoever locks a file that was
// replaced meanwhile opens the new one.  The file is checked before it is
// locked, so that a file a stranger planted is never waited on.
DWORD open_segment_file(const NamespaceDirectory& dir, const std::string& path, int* out_fd, bool* alone) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        int fd = open_namespace_file(dir, path, O_RDWR, true, nullptr, nullptr);
        if (fd < 0) {
            const DWORD err = GetLastError();
            if (err != ERROR_ACCESS_DENIED) complain("cannot open " + path + ": " + std::strerror(errno));
            return err ? err : ERROR_ACCESS_DENIED;
        }
        *alone = flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (!*alone) {
            // A creator laying the header out holds the exclusive lock; the
            // shared one is granted once the header is finished.
            while (flock(fd, LOCK_SH) != 0 && errno == EINTR) {
            }
        }
        struct stat by_fd {}, by_path {};
        if (fstat(fd, &by_fd) != 0 || lstat(path.c_str(), &by_path) != 0 || by_fd.st_ino != by_path.st_ino ||
            by_fd.st_dev != by_path.st_dev) {
            close(fd);  // replaced (or removed) while we waited for the lock
            continue;
        }
        if (!*alone && by_fd.st_size == 0) {
            // Its creator could not reserve it (a full file system) and let
            // go; only a process alone with the file may lay it out.
            close(fd);
            usleep(1000);
            continue;
        }
        bool unfinished = false;
        const std::string problem = *alone && by_fd.st_size > 0 ? file_header_problem(fd, by_fd.st_size, &unfinished)
                                                                : std::string();
        const bool short_file =
            *alone && problem.empty() && by_fd.st_size > 0 && by_fd.st_size != off_t(Layout::total);
        SegmentHeader h;
        const bool forged = *alone && problem.empty() && !short_file && by_fd.st_size > 0 &&
                            (pread(fd, &h, sizeof h, 0) != ssize_t(sizeof h) || h.creator_uid != by_fd.st_uid);
        if ((!problem.empty() && !unfinished) || short_file || forged) {
            complain(path + " " +
                     (short_file ? std::string("has the wrong size")
                      : forged   ? "names another creator than its owner"
                                 : problem) +
                     "; nobody uses it, so it is replaced by a new one");
            unlink(path.c_str());
            close(fd);
            continue;
        }
        *out_fd = fd;
        return 0;
    }
    complain("cannot settle on " + path + ": it keeps being replaced");
    return ERROR_INVALID_DATA;
}

// Gives a fresh file its full size with the memory behind it, so that a full
// file system fails here instead of raising SIGBUS on a later page fault.
DWORD reserve_segment(int fd, const std::string& path) {
    int err = posix_fallocate(fd, 0, off_t(Layout::total));
    struct stat st {};
    if (err == 0 && (fstat(fd, &st) != 0 || st.st_size != off_t(Layout::total))) err = EIO;
    if (err == 0) return 0;
    if (ftruncate(fd, 0) != 0) {
        // Left short: the next process alone with it replaces it.
    }
    complain("cannot reserve " + std::to_string(Layout::total / 1024) + " KiB for " + path + ": " +
             std::strerror(err));
    return err == ENOSPC || err == EFBIG ? DWORD(ERROR_DISK_FULL) : win32_error_from_errno(err, ERROR_WRITE_FAULT);
}

DWORD map_segment(Segment* s) {
    NamespaceDirectory dir;
    if (DWORD err = namespace_directory(&dir)) return err;
    const std::string path = dir.path + "/segment";
    int fd = -1;
    bool alone = false;
    DWORD opened = open_segment_file(dir, path, &fd, &alone);
    if (opened) return opened;
    DWORD err = 0;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        complain(path + " is not a regular file");
        err = ERROR_INVALID_DATA;
    } else {
        bool fresh = st.st_size == 0;
        if (!fresh) {
            bool unfinished = false;
            const std::string problem = file_header_problem(fd, st.st_size, &unfinished);
            SegmentHeader h;
            if (alone && unfinished) {
                fresh = ftruncate(fd, 0) == 0;  // an unfinished layout nobody can have used
            } else if (!problem.empty()) {
                complain(path + " " + problem + "; refusing to use it while processes of that build are attached");
                err = ERROR_INVALID_DATA;
            } else if (st.st_size != off_t(Layout::total)) {
                // Mapping it would raise SIGBUS past its end.
                complain(path + " has been cut short while processes use it; refusing it until they have "
                                "all ended");
                err = ERROR_INVALID_DATA;
            } else if (pread(fd, &h, sizeof h, 0) != ssize_t(sizeof h) || h.creator_uid != st.st_uid) {
                complain(path + " says it was made by uid " + std::to_string(h.creator_uid) +
                         " but belongs to uid " + std::to_string(st.st_uid) + "; refusing it. Remove it once "
                         "no process uses it");
                err = ERROR_ACCESS_DENIED;
            }
        }
        if (!err && fresh) err = reserve_segment(fd, path);
        if (!err) {
            void* p = mmap(nullptr, Layout::total, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (p == MAP_FAILED) {
                complain("cannot map " + path + ": " + std::strerror(errno));
                err = ERROR_NOT_ENOUGH_MEMORY;
            } else {
                auto* base = static_cast<uint8_t*>(p);
                s->base = base;
                s->header = reinterpret_cast<SegmentHeader*>(base);
                s->journal = reinterpret_cast<JournalEntry*>(base + Layout::journal);
                s->touched = reinterpret_cast<uint32_t*>(base + Layout::touched);
                s->wakes = reinterpret_cast<uint32_t*>(base + Layout::wakes);
                s->processes = reinterpret_cast<ProcessEntry*>(base + Layout::processes);
                s->hot = reinterpret_cast<HotEntry*>(base + Layout::hot);
                s->hashes = reinterpret_cast<uint32_t*>(base + Layout::hashes);
                s->objects = reinterpret_cast<ObjectSlot*>(base + Layout::objects);
                s->records = reinterpret_cast<WaitRecord*>(base + Layout::records);
                s->refs = reinterpret_cast<uint32_t*>(base + Layout::refs);
                s->units = reinterpret_cast<int32_t*>(base + Layout::units);
                s->self = kNil;
                if (fresh) init_header(s->header);
            }
        }
    }
    if (err) {
        close(fd);
        return err;
    }
    // The shared lock stays for the life of the process: it is how a later
    // opener knows that somebody is attached.  (Converting is not atomic; a
    // process that slips in between finds a finished header and uses it.)
    if (alone) flock(fd, LOCK_SH);
    g_segment_fd = fd;
    g_namespace = dir.name;
    g_segment_path = path;
    return 0;
}

DWORD register_process(Segment* s) {
    uint64_t start = 0;
    char state = 0;
    pid_t pid = getpid();
    if (!read_proc_stat(pid, &state, &start)) {
        complain("cannot read /proc/self/stat");
        return ERROR_ACCESS_DENIED;
    }
    Txn t(*s);
    sweep_dead_processes(t);
    for (uint32_t p = 0; p < kMaxProcesses; ++p) {
        ProcessEntry& e = s->processes[p];
        if (e.live.load(std::memory_order_relaxed)) continue;
        // A fresh process has no references; a row left over by a process
        // that was swept half-way is cleared by that sweep, never reused dirty.
        t.put(s->header->process_generation, s->header->process_generation + 1);
        t.put(e.pid, uint32_t(pid));
        t.put(e.start_time, start);
        t.put(e.generation, s->header->process_generation);
        t.put(e.live, 1u);
        s->self = p;
        table_has_room(Table::Processes);
        return 0;
    }
    table_full(Table::Processes);
    return ERROR_NO_SYSTEM_RESOURCES;
}

void futex_wake_all(std::atomic<uint32_t>* word) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

void after_fork_in_child() {
    // The child is a new process of the namespace: it registers again on its
    // first call.  Handles it inherited hold no references of its own.
    t_tid = 0;
    g_attached.store(nullptr, std::memory_order_relaxed);
    forget_liveness();
}

}  // namespace

Segment* attach_segment() {
    NoTerminate guard;
    std::lock_guard<std::mutex> lock(g_attach_lock);
    if (Segment* s = g_attached.load(std::memory_order_acquire)) return s;
    if (!g_mapped) {
        static bool fork_hook = (pthread_atfork(nullptr, nullptr, after_fork_in_child), true);
        (void)fork_hook;
        DWORD err = map_segment(&g_segment);
        if (err) {
            // Not final: a namespace refused while others use a damaged
            // file becomes usable once they have gone.
            SetLastError(err);
            return nullptr;
        }
        g_mapped = true;
    }
    DWORD err = register_process(&g_segment);
    if (err) {
        SetLastError(err);  // a full table may have room later
        return nullptr;
    }
    g_attached.store(&g_segment, std::memory_order_release);
    return &g_segment;
}

uint32_t fetch_tid() {
    t_tid = uint32_t(syscall(SYS_gettid));
    return t_tid;
}

bool process_alive(Segment& s, uint32_t p) {
    if (p >= kMaxProcesses) return false;
    ProcessEntry& e = s.processes[p];
    if (!e.live.load(std::memory_order_relaxed)) return false;
    if (p == s.self) return true;
    pid_t pid = pid_t(e.pid.load(std::memory_order_relaxed));
    uint64_t start = e.start_time.load(std::memory_order_relaxed);
    uint32_t gen = e.generation.load(std::memory_order_relaxed);
    Liveness& l = g_liveness[p];
    if (l.generation != gen) {
        if (l.fd >= 0) close(l.fd);
        l = Liveness{};
        l.generation = gen;
        // Open first, then check the start time: a pidfd opened on a reused
        // pid would show the newcomer's start time.
        int fd = int(syscall(SYS_pidfd_open, pid, 0));
        if (fd < 0 && errno == ESRCH) {
            l.dead = true;
        } else if (!stat_says_alive(pid, start)) {
            if (fd >= 0) close(fd);
            l.dead = true;
        } else {
            l.fd = fd;  // -1 where pidfds are missing: /proc every time
        }
    }
    if (l.dead) return false;
    if (l.fd < 0) {
        l.dead = !stat_says_alive(pid, start);
    } else {
        pollfd pfd{l.fd, POLLIN, 0};
        if (poll(&pfd, 1, 0) > 0) l.dead = true;
    }
    if (l.dead && l.fd >= 0) {
        close(l.fd);
        l.fd = -1;
    }
    return !l.dead;
}

// One message per episode: a caller that retries must not flood stderr.
std::atomic<bool> g_full_told[3];

void table_full(Table which) {
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    if (g_full_told[int(which)].exchange(true, std::memory_order_relaxed)) return;
    static const char* const what[] = {
        "process table is full (%u processes); this process cannot use kernel objects until one of them ends",
        "object table is full (%u objects); no object can be created until some are closed",
        "wait table is full (%u blocked threads); a wait that must block fails until some end",
    };
    static const uint32_t sizes[] = {kMaxProcesses, kMaxObjects, kMaxRecords};
    char text[200];
    std::snprintf(text, sizeof text, what[int(which)], sizes[int(which)]);
    complain("namespace \"" + g_namespace + "\": the " + text + " (error 1450)");
}

void table_has_room(Table which) {
    if (g_full_told[int(which)].load(std::memory_order_relaxed))
        g_full_told[int(which)].store(false, std::memory_order_relaxed);
}

// --- Txn ----------------------------------------------------------------------------

Txn::Txn(Segment& s) : seg(s) {
    int r = pthread_mutex_lock(&s.header->lock);
    bool recovered = false;
    if (r == EOWNERDEAD) {
        recover();
        pthread_mutex_consistent(&s.header->lock);
        recovered = true;
    } else if (r != 0) {
        // Only reachable when the segment was damaged from outside.
        std::fprintf(stderr, "zkxwin32: the namespace lock is unusable (%s)\n", std::strerror(r));
        std::abort();
    }
    s.header->lock_holder = s.self;
    if (recovered) {
        // Grants that were committed but whose wake-up was lost with the
        // dead holder.
        uint32_t hwm = std::min(s.header->record_hwm, kMaxRecords);
        for (uint32_t r2 = 0; r2 < hwm; ++r2)
            if (s.records[r2].state == kRecordGranted) futex_wake_all(&s.records[r2].futex);
        sweep_dead_processes(*this);
    }
}

Txn::~Txn() {
    while (any_dead_) {
        any_dead_ = false;
        for (uint32_t p = 0; p < kMaxProcesses; ++p) {
            uint64_t bit = uint64_t(1) << (p % 64);
            if (dead_[p / 64] & bit) {
                dead_[p / 64] &= ~bit;
                sweep_process(*this, p);
            }
        }
    }
    checkpoint();
    seg.header->lock_holder = kNil;
    pthread_mutex_unlock(&seg.header->lock);
}

void Txn::append(void* field, int width, uint16_t kind, uint64_t old) {
    SegmentHeader* h = seg.header;
    uint32_t n = h->journal_count.load(std::memory_order_relaxed);
    if (n >= kJournalCapacity) {
        // Units are far smaller than the journal; this only guards against
        // an overflow if a caller forgot to checkpoint.
        checkpoint();
        n = 0;
    }
    JournalEntry& e = seg.journal[n];
    e.offset = uint32_t(static_cast<uint8_t*>(field) - seg.base);
    e.width = uint16_t(width);
    e.kind = kind;
    e.old = old;
    // The write that follows is a release store (or swap), which keeps this
    // entry and the count ahead of it for whoever inspects a dead holder's
    // journal.
    h->journal_count.store(n + 1, std::memory_order_release);
}

void Txn::store(void* field, int width, uint64_t value) {
    if (width == 4) {
        auto* p = static_cast<uint32_t*>(field);
        uint32_t old = __atomic_load_n(p, __ATOMIC_RELAXED);
        if (old == uint32_t(value)) return;
        append(field, 4, kPlain, old);
        __atomic_store_n(p, uint32_t(value), __ATOMIC_RELEASE);
    } else {
        auto* p = static_cast<uint64_t*>(field);
        uint64_t old = __atomic_load_n(p, __ATOMIC_RELAXED);
        if (old == value) return;
        append(field, 8, kPlain, old);
        __atomic_store_n(p, value, __ATOMIC_RELEASE);
    }
}

uint64_t Txn::touch(uint32_t slot) {
    std::atomic<uint64_t>& w = seg.hot[slot].state;
    uint64_t s = w.load(std::memory_order_acquire);
    if (s & st::kBusy) return s & ~st::kBusy;  // touched earlier in this unit
    SegmentHeader* h = seg.header;
    if (h->journal_count.load(std::memory_order_relaxed) >= kJournalCapacity) checkpoint();
    uint32_t n = h->journal_count.load(std::memory_order_relaxed);
    append(&w, 8, kTouch, s);
    // Until the swap succeeds a fast path may still change the word; the
    // entry must always name the value the swap replaced.
    while (!w.compare_exchange_weak(s, s | st::kBusy, std::memory_order_acq_rel)) seg.journal[n].old = s;
    seg.touched[h->touched_count++] = slot;
    return s;
}

uint64_t Txn::state(uint32_t slot) const {
    return seg.hot[slot].state.load(std::memory_order_relaxed) & ~st::kBusy;
}

void Txn::set_state(uint32_t slot, uint64_t value) {
    touch(slot);  // a checkpoint since the last touch would have released it
    store(&seg.hot[slot].state, 8, (value & ~st::kBusy) | st::kBusy);
}

void Txn::wake(uint32_t record) {
    SegmentHeader* h = seg.header;
    if (h->wake_count >= kMaxRecords) {
        // Waking early is harmless: a woken waiter confirms under the lock.
        for (uint32_t i = 0; i < h->wake_count; ++i) futex_wake_all(&seg.records[seg.wakes[i]].futex);
        h->wake_count = 0;
    }
    seg.wakes[h->wake_count++] = record;
}

void Txn::mark_dead(uint32_t process) {
    if (process >= kMaxProcesses) return;
    dead_[process / 64] |= uint64_t(1) << (process % 64);
    any_dead_ = true;
}

void Txn::finish_touched() {
    SegmentHeader* h = seg.header;
    for (uint32_t i = 0; i < h->touched_count; ++i) {
        uint32_t slot = seg.touched[i];
        std::atomic<uint64_t>& w = seg.hot[slot].state;
        uint64_t s = w.load(std::memory_order_relaxed) & ~(st::kBusy | st::kWaiters);
        uint32_t type = seg.hot[slot].type.load(std::memory_order_relaxed);
        if (type != kFree && (seg.objects[slot].wait_head != kNil || type_needs_lock(type, seg.objects[slot])))
            s |= st::kWaiters;
        w.store(s, std::memory_order_release);
    }
    h->touched_count = 0;
}

void Txn::checkpoint() {
    SegmentHeader* h = seg.header;
    h->journal_count.store(0, std::memory_order_release);
    finish_touched();
    for (uint32_t i = 0; i < h->wake_count; ++i) futex_wake_all(&seg.records[seg.wakes[i]].futex);
    h->wake_count = 0;
}

void Txn::maybe_checkpoint() {
    if (seg.header->journal_count.load(std::memory_order_relaxed) > kJournalCapacity - 2048) checkpoint();
}

void Txn::recover() {
    SegmentHeader* h = seg.header;
    uint32_t n = std::min(h->journal_count.load(std::memory_order_acquire), kJournalCapacity);
    for (uint32_t i = n; i-- > 0;) {
        const JournalEntry& e = seg.journal[i];
        if (e.offset < Layout::journal || e.offset + e.width > Layout::total) continue;
        uint8_t* p = seg.base + e.offset;
        if (e.width == 8) {
            auto* w = reinterpret_cast<uint64_t*>(p);
            if (e.kind == kTouch && !(__atomic_load_n(w, __ATOMIC_RELAXED) & st::kBusy)) continue;
            __atomic_store_n(w, e.old, __ATOMIC_RELAXED);
        } else if (e.width == 4) {
            __atomic_store_n(reinterpret_cast<uint32_t*>(p), uint32_t(e.old), __ATOMIC_RELAXED);
        }
    }
    h->journal_count.store(0, std::memory_order_release);
    // Objects a finished unit left marked busy (the holder died while
    // clearing the marks).
    h->touched_count = 0;
    uint32_t hwm = std::min(h->object_hwm, kMaxObjects);
    for (uint32_t slot = 0; slot < hwm; ++slot) {
        if (seg.hot[slot].state.load(std::memory_order_relaxed) & st::kBusy) seg.touched[h->touched_count++] = slot;
    }
    finish_touched();
    h->wake_count = 0;
}

}  // namespace zkx::win32::kobj

namespace zkx::win32 {

const char* kernel_namespace() {
    return kobj::segment() ? kobj::g_namespace.c_str() : nullptr;
}

std::string kernel_segment_path() {
    return kernel_namespace() ? kobj::g_segment_path : std::string();
}

}  // namespace zkx::win32
