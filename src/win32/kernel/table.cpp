// The object table: creating, naming, referencing and freeing objects, and
// sweeping what dead processes and ended threads left behind.
#include <algorithm>
#include <cstring>

#include "base/handle_close.h"
#include "kernel/kernel_objects.h"
#include "kernel/internal.h"
#include "kernel/object_name.h"
#include "kernel/object_types.h"
#include "zkxwin32/errors.h"
#include "zkxwin32/thread.h"

namespace zkx::win32::kobj {
namespace {

KernelObjectTypeHooks g_hooks[kTypeCount] = {};

uint32_t name_hash(const char* name, size_t len) {
    uint32_t h = 2166136261u;  // FNV-1a
    for (size_t i = 0; i < len; ++i) h = (h ^ uint8_t(name[i])) * 16777619u;
    return h | 1;  // 0 marks a slot without a name
}

uint32_t hwm(const Segment& s) { return std::min(s.header->object_hwm, kMaxObjects); }

uint32_t find_named(Segment& s, const char* name, size_t len, uint32_t hash) {
    uint32_t end = hwm(s);
    for (uint32_t slot = 0; slot < end; ++slot) {
        if (s.hashes[slot] != hash) continue;
        const ObjectSlot& o = s.objects[slot];
        if (s.hot[slot].type.load(std::memory_order_relaxed) != kFree && o.name_length == len &&
            std::memcmp(o.name, name, len) == 0)
            return slot;
    }
    return kNil;
}

// A name outlives its last holder only until somebody notices that the
// holder has died; looking the name up is such a moment.
uint32_t find_live_named(Txn& t, const char* name, size_t len, uint32_t hash) {
    Segment& s = t.seg;
    uint32_t slot = find_named(s, name, len, hash);
    if (slot == kNil) return kNil;
    bool swept = false;
    for (uint32_t p = 0; p < kMaxProcesses; ++p) {
        if (p == s.self || !s.processes[p].live.load(std::memory_order_relaxed)) continue;
        if (s.ref(p, slot) == 0 || process_alive(s, p)) continue;
        sweep_process(t, p);
        swept = true;
    }
    return swept ? find_named(s, name, len, hash) : slot;
}

uint32_t alloc_slot(Txn& t) {
    Segment& s = t.seg;
    SegmentHeader* h = s.header;
    uint32_t slot = h->object_free;
    if (slot != kNil) {
        if (slot < kMaxObjects && s.hot[slot].type.load(std::memory_order_relaxed) == kFree) {
            t.put(h->object_free, s.objects[slot].next_free);
            table_has_room(Table::Objects);
            return slot;
        }
        t.put(h->object_free, kNil);  // damaged list: give up its slots rather than trust it
    }
    if (h->object_hwm < kMaxObjects) {
        slot = h->object_hwm;
        t.put(h->object_hwm, slot + 1);
        table_has_room(Table::Objects);
        return slot;
    }
    return kNil;
}

void free_object(Txn& t, uint32_t slot) {
    Segment& s = t.seg;
    HotEntry& hot = s.hot[slot];
    ObjectSlot& o = s.objects[slot];
    uint32_t type = hot.type.load(std::memory_order_relaxed);
    uint32_t gen = hot.generation.load(std::memory_order_relaxed);
    type_freeing(type, t, slot);
    t.touch(slot);
    t.set_state(slot, 0);
    t.put(s.hashes[slot], 0);
    t.put(hot.type, uint32_t(kFree));
    t.put(hot.generation, gen + 1);
    t.put(o.wait_head, kNil);
    t.put(o.wait_tail, kNil);
    t.put(o.next_free, s.header->object_free);
    t.put(s.header->object_free, slot);
    if (type < kTypeCount && g_hooks[type].destroy) {
        uint64_t ext[kExtWords];
        std::memcpy(ext, o.ext, sizeof ext);
        t.checkpoint();
        g_hooks[type].destroy(slot, gen, ext);
    }
}

void maybe_free(Txn& t, uint32_t slot) {
    const ObjectSlot& o = t.seg.objects[slot];
    if (o.handles == 0 && o.waits == 0) free_object(t, slot);
}

void add_handle(Txn& t, uint32_t slot, uint32_t n) {
    Segment& s = t.seg;
    t.put(s.ref(s.self, slot), s.ref(s.self, slot) + n);
    t.put(s.objects[slot].handles, s.objects[slot].handles + n);
}

void fill_info(Segment& s, uint32_t slot, KernelObjectInfo* info) {
    const HotEntry& hot = s.hot[slot];
    const ObjectSlot& o = s.objects[slot];
    uint64_t state = hot.state.load(std::memory_order_relaxed) & ~st::kBusy;
    *info = KernelObjectInfo{};
    info->type = KernelObjectType(hot.type.load(std::memory_order_relaxed));
    info->slot = slot;
    info->generation = hot.generation.load(std::memory_order_relaxed);
    if (o.named) info->name.assign(o.name, std::min(o.name_length, kMaxNameLength));
    info->handles = o.handles;
    for (uint32_t link = o.wait_head; link != kNil && info->waiters < kMaxRecords;) {
        ++info->waiters;
        uint32_t r = link / kMaxWaitObjects;
        if (r >= kMaxRecords) break;
        link = s.records[r].links[link % kMaxWaitObjects].next;
    }
    if (o.creator < kMaxProcesses) info->creator_pid = s.processes[o.creator].pid.load(std::memory_order_relaxed);
    type_describe(hot.type.load(std::memory_order_relaxed), s, slot, state, info);
}

BOOL close_kobj(HANDLE, const HandleEntry& entry) { return close_object_handle(entry); }

const bool g_closers = register_handle_closer(HandleType::Event, close_kobj) &&
                       register_handle_closer(HandleType::Mutex, close_kobj) &&
                       register_handle_closer(HandleType::Semaphore, close_kobj) &&
                       register_handle_closer(HandleType::Thread, close_kobj);

}  // namespace

bool ref_current(const Segment& s, Ref r) {
    if (r.slot >= kMaxObjects) return false;
    const HotEntry& hot = s.hot[r.slot];
    return hot.generation.load(std::memory_order_acquire) == r.generation &&
           hot.type.load(std::memory_order_relaxed) != kFree;
}

HANDLE create_object(const NewObject& original, Ref* made) {
    NoTerminate guard;
    NewObject n = original;
    size_t len = n.name ? strnlen(n.name, kMaxNameLength + 1) : 0;
    if (len > kMaxNameLength) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    if (len) {
        if (DWORD err = object_name_key(original.name, len, &n.name, &len)) {
            SetLastError(err);
            return nullptr;
        }
    }
    Segment* s = segment();
    if (!s) return nullptr;
    DWORD err = 0;
    bool existed = false;
    Ref r{kNil, 0};
    {
        Txn t(*s);
        uint32_t hash = len ? name_hash(n.name, len) : 0;
        uint32_t slot = len ? find_live_named(t, n.name, len, hash) : kNil;
        if (slot != kNil) {
            if (s->hot[slot].type.load(std::memory_order_relaxed) != n.type) {
                err = ERROR_INVALID_HANDLE;
            } else {
                add_handle(t, slot, 1);
                existed = true;
                r = Ref{slot, s->hot[slot].generation.load(std::memory_order_relaxed)};
            }
        } else if ((slot = alloc_slot(t)) == kNil) {
            err = ERROR_NO_SYSTEM_RESOURCES;
        } else {
            // The slot is free until its type word is written last, and a
            // rollback frees it again, so its fields need no journal.
            ObjectSlot& o = s->objects[slot];
            HotEntry& hot = s->hot[slot];
            o.handles = 1 + n.extra_refs;
            o.waits = 0;
            o.creator = s->self;
            o.named = len ? 1 : 0;
            o.wait_head = o.wait_tail = o.next_free = kNil;
            o.thread_id = o.terminate_requested = o.terminate_code = 0;
            o.name_length = uint32_t(len);
            std::memcpy(o.name, n.name ? n.name : "", len);
            o.name[len] = 0;
            std::memset(o.ext, 0, sizeof o.ext);
            if (n.init) n.init(o.ext, n.ctx);
            hot.max_count.store(n.max_count, std::memory_order_relaxed);
            t.touch(slot);
            t.set_state(slot, n.state);
            t.put(s->hashes[slot], hash);
            t.put(s->ref(s->self, slot), 1 + n.extra_refs);
            t.put(hot.type, uint32_t(n.type));
            r = Ref{slot, hot.generation.load(std::memory_order_relaxed)};
        }
    }
    if (err == ERROR_NO_SYSTEM_RESOURCES) {
        table_full(Table::Objects);
        return nullptr;
    }
    if (err) {
        SetLastError(err);
        return nullptr;
    }
    HANDLE h = handle_insert(n.handle_type, ref_payload(r));
    if (!h) {
        Txn t(*s);
        if (ref_current(*s, r)) {
            for (uint32_t i = 0; i <= (existed ? 0 : n.extra_refs); ++i) drop_handle(t, s->self, r.slot);
        }
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return nullptr;
    }
    if (made) *made = r;
    SetLastError(existed ? ERROR_ALREADY_EXISTS : 0);
    return h;
}

HANDLE open_object(ObjectType type, HandleType handle_type, const char* name) {
    NoTerminate guard;
    size_t len = name ? strnlen(name, kMaxNameLength + 1) : 0;
    if (len == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (len > kMaxNameLength) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    if (DWORD bad = object_name_key(name, len, &name, &len)) {
        SetLastError(bad);
        return nullptr;
    }
    Segment* s = segment();
    if (!s) return nullptr;
    DWORD err = 0;
    Ref r{};
    {
        Txn t(*s);
        uint32_t slot = find_live_named(t, name, len, name_hash(name, len));
        if (slot == kNil) {
            err = ERROR_FILE_NOT_FOUND;
        } else if (s->hot[slot].type.load(std::memory_order_relaxed) != type) {
            err = ERROR_INVALID_HANDLE;
        } else {
            add_handle(t, slot, 1);
            r = Ref{slot, s->hot[slot].generation.load(std::memory_order_relaxed)};
        }
    }
    if (err) {
        SetLastError(err);
        return nullptr;
    }
    HANDLE h = handle_insert(handle_type, ref_payload(r));
    if (!h) {
        Txn t(*s);
        if (ref_current(*s, r)) drop_handle(t, s->self, r.slot);
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return nullptr;
    }
    SetLastError(0);
    return h;
}

BOOL close_object_handle(const HandleEntry& entry) {
    NoTerminate guard;
    Segment* s = segment();
    if (!s) return FALSE;
    Ref r = payload_ref(entry.payload);
    Txn t(*s);
    if (!ref_current(*s, r) || s->ref(s->self, r.slot) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    drop_handle(t, s->self, r.slot);
    return TRUE;
}

void drop_handle(Txn& t, uint32_t process, uint32_t slot) {
    Segment& s = t.seg;
    uint32_t& mine = s.ref(process, slot);
    if (mine == 0) return;
    t.put(mine, mine - 1);
    ObjectSlot& o = s.objects[slot];
    if (o.handles) t.put(o.handles, o.handles - 1);
    maybe_free(t, slot);
}

void drop_wait(Txn& t, uint32_t slot) {
    ObjectSlot& o = t.seg.objects[slot];
    if (o.waits) t.put(o.waits, o.waits - 1);
    maybe_free(t, slot);
}

void sweep_process(Txn& t, uint32_t p) {
    Segment& s = t.seg;
    if (p >= kMaxProcesses || p == s.self || !s.processes[p].live.load(std::memory_order_relaxed)) return;
    // Its waits first: whatever they were granted is then owned by the
    // process alone and taken back below like everything else.
    uint32_t records = std::min(s.header->record_hwm, kMaxRecords);
    for (uint32_t r = 0; r < records; ++r) {
        if (s.records[r].state != kRecordFree && s.records[r].process == p) {
            free_record(t, r);
            t.maybe_checkpoint();
        }
    }
    // Before its mutexes are abandoned: a guard it held is settled as its own.
    sweep_units(t, p);
    uint32_t end = hwm(s);
    for (uint32_t slot = 0; slot < end; ++slot) {
        uint32_t type = s.hot[slot].type.load(std::memory_order_relaxed);
        uint32_t owner = type_owner(type, s.hot[slot].state.load(std::memory_order_relaxed));
        if (owner && key_process(owner) == p) {
            type_owner_ended(type, t, slot, owner);
            t.maybe_checkpoint();
        }
    }
    for (uint32_t slot = 0; slot < end; ++slot) {
        uint32_t& n = s.ref(p, slot);
        if (n == 0) continue;
        ObjectSlot& o = s.objects[slot];
        t.put(o.handles, o.handles >= n ? o.handles - n : 0);
        t.put(n, 0);
        if (s.hot[slot].type.load(std::memory_order_relaxed) != kFree) maybe_free(t, slot);
        t.maybe_checkpoint();
    }
    t.put(s.processes[p].live, 0u);
}

void sweep_dead_processes(Txn& t) {
    for (uint32_t p = 0; p < kMaxProcesses; ++p) {
        if (p != t.seg.self && t.seg.processes[p].live.load(std::memory_order_relaxed) &&
            !process_alive(t.seg, p))
            sweep_process(t, p);
    }
}

void abandon_owned(Txn& t, uint32_t key) {
    Segment& s = t.seg;
    uint32_t end = hwm(s);
    for (uint32_t slot = 0; slot < end; ++slot) {
        uint32_t type = s.hot[slot].type.load(std::memory_order_relaxed);
        if (type_owner(type, s.hot[slot].state.load(std::memory_order_relaxed)) == key)
            type_owner_ended(type, t, slot, key);
    }
}

}  // namespace zkx::win32::kobj

namespace zkx::win32 {

using namespace kobj;

bool enumerate_kernel_objects(std::vector<KernelObjectInfo>* out) {
    NoTerminate guard;
    Segment* s = segment();
    if (!s || !out) return false;
    out->clear();
    Txn t(*s);
    sweep_dead_processes(t);
    uint32_t end = hwm(*s);
    for (uint32_t slot = 0; slot < end; ++slot) {
        if (s->hot[slot].type.load(std::memory_order_relaxed) == kFree) continue;
        KernelObjectInfo info;
        fill_info(*s, slot, &info);
        out->push_back(std::move(info));
    }
    return true;
}

bool describe_kernel_object(HANDLE h, KernelObjectInfo* out) {
    NoTerminate guard;
    HandleType type;
    Ref r;
    Segment* s = segment();
    if (!s || !out || !resolve(h, &type, &r)) return false;
    Txn t(*s);
    if (!ref_current(*s, r)) return false;
    fill_info(*s, r.slot, out);
    return true;
}

bool register_kernel_object_type(KernelObjectType type, const KernelObjectTypeHooks& hooks) {
    auto i = uint32_t(type);
    if (i == 0 || i >= kTypeCount) return false;
    g_hooks[i] = hooks;
    return true;
}

HANDLE create_kernel_object(KernelObjectType type, HandleType handle_type, const char* name,
                            void (*init)(uint64_t ext[8], void* ctx), void* ctx) {
    NewObject n{ObjectType(type), handle_type, name, 0, 0, 0, init, ctx};
    return create_object(n);
}

HANDLE open_kernel_object(KernelObjectType type, HandleType handle_type, const char* name) {
    return open_object(ObjectType(type), handle_type, name);
}

bool read_kernel_object(const HandleEntry& entry, KernelObjectType type, uint32_t* slot,
                        uint32_t* generation, uint64_t ext[8]) {
    NoTerminate guard;
    Segment* s = segment();
    if (!s) return false;
    Ref r = payload_ref(entry.payload);
    Txn t(*s);
    if (!ref_current(*s, r) || s->hot[r.slot].type.load(std::memory_order_relaxed) != uint32_t(type))
        return false;
    if (slot) *slot = r.slot;
    if (generation) *generation = r.generation;
    if (ext) std::memcpy(ext, s->objects[r.slot].ext, sizeof(uint64_t) * kExtWords);
    return true;
}

BOOL close_kernel_object_handle(HANDLE, const HandleEntry& entry) { return close_object_handle(entry); }

}  // namespace zkx::win32
