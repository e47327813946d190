#include "ZKShMemHeap.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "ZKShMemJournal.h"
#include "ZKShMemLookup.h"

// The region is trusted only as far as it is checked.  Rather than test every
// step for an impossible entry number or block, the accessors below check
// what they are given: a bad one marks the heap corrupt and yields a harmless
// stand-in (a scratch entry, no tag write), so an operation on damaged
// bookkeeping runs to its end without touching a byte outside the region and
// then reports ERROR_FILE_CORRUPT.  A consistent heap never trips them.
//
// Every write to the region goes through put(), which journals it first
// when the operation has a journal (ZKShMemJournal.h).  An operation that
// fails undoes its writes; one that succeeds commits them.
//
// The journal never holds more than one step's writes.  Counting the writes
// of each path (a list push writes 3 times, an unlink 2, the tags of a
// block 2, the byte counters 1, an entry's place 1):
//   - alloc: obtaining an entry from the spare list 2, or by cutting a slot
//     at most 2 + 3 (the top block vanishes onto the spare list) + 2 = 7;
//     the split 2 + 2 * 2 + 1 = 7; the new entry's id, used-list push and
//     data top 5: at most 19.
//   - free up to its first commit: counters 1, used-list unlink 2, merge
//     with the block above 1 + 2, with the block below 2 + 2 + 2, data top
//     1, and two entries released, each at most 11 (a spare entry becomes
//     the 16-byte free block above a block in use: pop 2, index bottom 1,
//     id 1, place 1, tags 2, counters 1, free-list push 3): at most
//     1 + 2 + 3 + 11 + 6 + 11 + 1 = 35.  Without the upward merge it pushes
//     the block onto the free list instead (4), well under that.
//   - each further slot given back: spare unlink 2, index bottom 1, the top
//     block's size 1 and tags 2, counters 1: 7.
//   - change id: 1.
// ZKSHMEM_JOURNAL_STEP_MAX is that 35; a test drives the longest paths.
//
// With a lookup index (ZKShMemLookup.h) the same primitives keep its trees
// in step: a push or an unlink of a free or used entry, a new size of a free
// entry, a new identifier of an entry in use.  First fit and finding then
// ask the trees where the walk would stop, and go on from there exactly as
// the walk does.
DWORD g_zkshmem_lookup_min_entries = 1024;

namespace {

enum List { kUsed = 0, kFree = 1, kSpare = 2 };

WORD load16(const BYTE* p) {
    WORD v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store16(BYTE* p, WORD v) { std::memcpy(p, &v, sizeof v); }

class Heap {
public:
    Heap(BYTE* base, DWORD total, const ZKSHMEM_UNDO* undo)
        : base_(base), total_(total), hdr_(reinterpret_cast<ZKSHMEM_REGION*>(base)), log_(undo) {}

    // Uses the index when it agrees with the region; may_write lets a stale
    // one be rebuilt (and a doubtful one be marked stale) first.  A small
    // heap is walked: the walk costs less than keeping the index there.
    // An index that this operation does not keep up to date cannot stay
    // valid, whatever the operation changes.
    void use_lookup(ZKSHMEM_LOOKUP* lookup, bool may_write) {
        if (!lookup) return;
        const bool whole = sane();
        sane_checked_ = whole;
        const DWORD entries = whole ? entry_count() : 0;
        const bool usable = whole && entries >= g_zkshmem_lookup_min_entries / 2 &&
                            zkshmem_lookup_usable(lookup, base_, total_);
        if (usable || (whole && entries >= g_zkshmem_lookup_min_entries && may_write &&
                       zkshmem_lookup_rebuild(lookup, base_, total_))) {
            lk_ = lookup;
            lk_writable_ = may_write;
            trees_ = ZKShMemLookupTrees(lookup);
        } else if (may_write && __atomic_load_n(&lookup->dwValid, __ATOMIC_RELAXED) != 0) {
            zkshmem_lookup_invalidate(lookup);
        }
    }

    DWORD alloc(DWORD size, DWORD id, DWORD* offset);
    DWORD free(DWORD offset);
    DWORD find(DWORD id, DWORD* offset);
    DWORD change_id(DWORD offset, DWORD id);

private:
    bool sane() const;
    // sane(), once per operation.
    bool whole() const { return sane_checked_ || sane(); }
    DWORD bottom() const { return hdr_->dwIndexBottom; }
    DWORD entry_count() const { return (total_ - bottom()) / ZKSHMEM_ENTRY_SIZE; }
    bool is_entry(DWORD k) const { return k >= 1 && k <= entry_count(); }
    bool block_ok(const ZKSHMEM_INDEX* e) const;
    ZKSHMEM_INDEX* entry(WORD k);
    WORD tag(DWORD offset);
    void write_tags(WORD k);
    WORD top_block();
    bool in_use_at(DWORD offset, WORD* k);

    // The region's bytes change here and nowhere else.  Writes to the
    // scratch entry (which lies outside the region) are not journalled.
    void put(BYTE* p, const void* value, DWORD width) {
        const uintptr_t at = reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(base_);
        if (log_.active() && at < total_) log_.record(base_, DWORD(at), width);
        std::memcpy(p, value, width);
    }
    // Fields that lie side by side and change together are written (and
    // journalled) as one: an entry's place (offset and size), its links,
    // a list's two ends, the two byte counters.
    template <class A, class B>
    void put_pair(BYTE* p, A a, B b) {
        BYTE v[sizeof a + sizeof b];
        std::memcpy(v, &a, sizeof a);
        std::memcpy(v + sizeof a, &b, sizeof b);
        put(p, v, sizeof v);
    }
    void put16(BYTE* p, WORD v) { put(p, &v, sizeof v); }
    void put32(BYTE* p, DWORD v) { put(p, &v, sizeof v); }
    static BYTE* field(ZKSHMEM_INDEX* e, size_t offset) { return reinterpret_cast<BYTE*>(e) + offset; }
    void set_id(ZKSHMEM_INDEX* e, DWORD v) {
        put32(field(e, offsetof(ZKSHMEM_INDEX, dwId)), v);
        rekey(e, ZKSHMEM_LOOKUP_USED, v);
    }
    void set_size(ZKSHMEM_INDEX* e, DWORD v) {
        put32(field(e, offsetof(ZKSHMEM_INDEX, dwSize)), v);
        rekey(e, ZKSHMEM_LOOKUP_FREE, v);
    }
    void set_place(ZKSHMEM_INDEX* e, DWORD offset, DWORD size) {
        put_pair(field(e, offsetof(ZKSHMEM_INDEX, dwOffset)), offset, size);
        rekey(e, ZKSHMEM_LOOKUP_FREE, size);
    }
    void set_prev(ZKSHMEM_INDEX* e, WORD k) { put16(field(e, offsetof(ZKSHMEM_INDEX, wPrev)), k); }
    void set_next(ZKSHMEM_INDEX* e, WORD k) { put16(field(e, offsetof(ZKSHMEM_INDEX, wNext)), k); }
    void set_links(ZKSHMEM_INDEX* e, WORD next, WORD prev) {
        put_pair(field(e, offsetof(ZKSHMEM_INDEX, wNext)), next, prev);
    }
    void set_bottom(DWORD v) { put32(base_ + offsetof(ZKSHMEM_REGION, dwIndexBottom), v); }
    void set_data_top(DWORD v) { put32(base_ + offsetof(ZKSHMEM_REGION, dwDataTop), v); }

    WORD first(List l) const { return load16(base_ + 4 * l); }
    WORD last(List l) const { return load16(base_ + 4 * l + 2); }
    void set_first(List l, WORD k) { put16(base_ + 4 * l, k); }
    void set_last(List l, WORD k) { put16(base_ + 4 * l + 2, k); }
    void set_ends(List l, WORD first, WORD last) { put_pair(base_ + 4 * l, first, last); }
    void push(List l, WORD k);
    void unlink(List l, WORD k);
    WORD pop_spare();
    bool on_spare(WORD k);

    void grow_in_use(DWORD bytes) {
        put_pair(base_ + offsetof(ZKSHMEM_REGION, dwBytesInUse), hdr_->dwBytesInUse + bytes,
                 hdr_->dwBytesFree - bytes);
    }
    void shrink_in_use(DWORD bytes) { grow_in_use(0u - bytes); }

    DWORD obtain_entry(WORD* k);
    void release_entry(WORD k);
    bool give_back_lowest_slot();
    void give_slot_to_top(WORD t);
    void give_back_spare_slots();
    DWORD carve(DWORD need, WORD* k);
    void insert_free(WORD k);

    // The end of every operation that may have written: kept when it
    // succeeded, undone when it failed.  The index agrees with the region
    // again only once the region's writes are committed; after a failure
    // that had changed it, it stays invalid until the next rebuild.
    DWORD finish(DWORD result) {
        result = corrupt_ ? DWORD(ERROR_FILE_CORRUPT) : result;
        if (result == 0)
            log_.commit();
        else
            log_.rollback(base_, total_);
        if (lk_ && lk_changed_ && result == 0) zkshmem_lookup_seal(lk_, base_);
        return result;
    }

    // The index's trees, about to change: from here until the seal, an index
    // that a kill leaves behind is not trusted.
    ZKShMemLookupTrees* changing() {
        if (!lk_) return nullptr;
        if (!lk_changed_) {
            zkshmem_lookup_invalidate(lk_);
            lk_changed_ = true;
        }
        return &trees_;
    }
    // The index disagrees with the region: the rest of the operation walks,
    // and the next writer rebuilds.
    void drop_lookup() {
        if (lk_ && lk_writable_) zkshmem_lookup_invalidate(lk_);
        lk_ = nullptr;
    }
    void check_trees() {
        if (lk_ && !trees_.ok()) drop_lookup();
    }
    WORD number_of(const ZKSHMEM_INDEX* e) const {
        if (e == &scratch_) return 0;
        return WORD((total_ - DWORD(reinterpret_cast<const BYTE*>(e) - base_)) / ZKSHMEM_ENTRY_SIZE);
    }
    void rekey(const ZKSHMEM_INDEX* e, unsigned list, DWORD key) {
        if (!lk_) return;
        const WORD k = number_of(e);
        if (trees_.state_of(k) != int(list) || trees_.key_of(k) == key) return;
        changing()->rekey(k, key);
        check_trees();
    }
    void lookup_push(List l, WORD k) {
        if (!lk_ || l == kSpare) return;
        const ZKSHMEM_INDEX* e = entry(k);
        if (l == kFree)
            changing()->push(ZKSHMEM_LOOKUP_FREE, k, e->dwSize);
        else
            changing()->push(ZKSHMEM_LOOKUP_USED, k, e->dwId);
        check_trees();
    }
    void lookup_unlink(List l, WORD k) {
        if (!lk_ || l == kSpare) return;
        changing()->erase(k);
        check_trees();
    }
    bool fits(const ZKSHMEM_INDEX* fe, DWORD need) const;
    DWORD take(WORD f, DWORD need, WORD* k);

    BYTE* const base_;
    const DWORD total_;
    ZKSHMEM_REGION* const hdr_;
    ZKShMemUndoLog log_;
    ZKSHMEM_INDEX scratch_ = {};
    bool corrupt_ = false;
    bool spare_slots_follow_ = false;  // a slot went to the free top block
    ZKSHMEM_LOOKUP* lk_ = nullptr;     // a usable index, or none
    bool lk_writable_ = false;
    bool lk_changed_ = false;          // invalid until the seal
    bool sane_checked_ = false;        // sane() held when the index was looked at
    ZKShMemLookupTrees trees_;
};

// What every operation relies on before it follows a single link.
bool Heap::sane() const {
    const DWORD min_total = ZKSHMEM_HEADER_SIZE + ZKSHMEM_MIN_BLOCK + ZKSHMEM_ENTRY_SIZE;
    if (total_ < min_total) return false;
    const DWORD b = bottom();
    if (b < ZKSHMEM_HEADER_SIZE + ZKSHMEM_MIN_BLOCK || b > total_ - ZKSHMEM_ENTRY_SIZE) return false;
    if ((total_ - b) % ZKSHMEM_ENTRY_SIZE != 0 || entry_count() > ZKSHMEM_MAX_ENTRIES) return false;
    if (hdr_->dwDataTop < ZKSHMEM_HEADER_SIZE || hdr_->dwDataTop > b) return false;
    for (List l : {kUsed, kFree, kSpare}) {
        const bool empty = first(l) == ZKSHMEM_NO_ENTRY;
        if (empty != (last(l) == ZKSHMEM_NO_ENTRY)) return false;
        if (!empty && (!is_entry(first(l)) || !is_entry(last(l)))) return false;
    }
    return true;
}

bool Heap::block_ok(const ZKSHMEM_INDEX* e) const {
    return e->dwOffset >= ZKSHMEM_HEADER_SIZE && e->dwOffset <= bottom() &&
           e->dwSize >= ZKSHMEM_MIN_BLOCK && e->dwSize <= bottom() - e->dwOffset;
}

ZKSHMEM_INDEX* Heap::entry(WORD k) {
    if (!is_entry(k)) {
        corrupt_ = true;
        scratch_ = ZKSHMEM_INDEX{0, 0, 0, ZKSHMEM_NO_ENTRY, ZKSHMEM_NO_ENTRY};
        return &scratch_;
    }
    return reinterpret_cast<ZKSHMEM_INDEX*>(base_ + total_ - ZKSHMEM_ENTRY_SIZE * k);
}

WORD Heap::tag(DWORD offset) {
    if (offset < ZKSHMEM_HEADER_SIZE || offset > bottom() - ZKSHMEM_TAG_SIZE) {
        corrupt_ = true;
        return ZKSHMEM_NO_ENTRY;
    }
    return load16(base_ + offset);
}

void Heap::write_tags(WORD k) {
    ZKSHMEM_INDEX* e = entry(k);
    if (!block_ok(e)) {
        corrupt_ = true;
        return;
    }
    put16(base_ + e->dwOffset, k);
    put16(base_ + e->dwOffset + e->dwSize - ZKSHMEM_TAG_SIZE, k);
}

// The entry of the block that ends where the index table begins.
WORD Heap::top_block() {
    WORD t = tag(bottom() - ZKSHMEM_TAG_SIZE);
    const ZKSHMEM_INDEX* e = entry(t);
    if (!block_ok(e) || e->dwOffset + e->dwSize != bottom()) corrupt_ = true;
    return t;
}

// Whether offset is the caller memory of a block in use.  Any address may
// arrive here, so this tests without marking the heap corrupt.
bool Heap::in_use_at(DWORD offset, WORD* k) {
    if (offset < ZKSHMEM_TAG_SIZE) return false;
    const DWORD b = offset - ZKSHMEM_TAG_SIZE;
    if (b < ZKSHMEM_HEADER_SIZE || b > hdr_->dwDataTop || b > bottom() - ZKSHMEM_TAG_SIZE)
        return false;
    const WORD number = load16(base_ + b);
    if (!is_entry(number)) return false;
    const ZKSHMEM_INDEX* e = entry(number);
    if (e->dwOffset != b || e->dwId == ZKSHMEM_FREE_ID) return false;
    *k = number;
    return true;
}

void Heap::push(List l, WORD k) {
    ZKSHMEM_INDEX* e = entry(k);
    const WORD old_first = first(l);
    if (old_first == ZKSHMEM_NO_ENTRY) {
        set_links(e, ZKSHMEM_NO_ENTRY, ZKSHMEM_NO_ENTRY);
        set_ends(l, k, k);
    } else {
        ZKSHMEM_INDEX* old = entry(old_first);
        set_links(e, old_first, old->wPrev);
        set_prev(old, k);
        set_first(l, k);
    }
    lookup_push(l, k);
}

// The entry keeps its own links; whoever puts it on a list sets them.
void Heap::unlink(List l, WORD k) {
    const ZKSHMEM_INDEX* e = entry(k);
    const WORD next = e->wNext;
    const WORD prev = e->wPrev;
    if (prev == ZKSHMEM_NO_ENTRY)
        set_first(l, next);
    else
        set_next(entry(prev), next);
    if (next == ZKSHMEM_NO_ENTRY)
        set_last(l, prev);
    else
        set_prev(entry(next), prev);
    lookup_unlink(l, k);
}

WORD Heap::pop_spare() {
    const WORD k = first(kSpare);
    unlink(kSpare, k);
    return k;
}

bool Heap::on_spare(WORD k) {
    DWORD steps = 0;
    for (WORD s = first(kSpare); s != ZKSHMEM_NO_ENTRY && !corrupt_; s = entry(s)->wNext) {
        if (s == k) return true;
        if (++steps > entry_count()) corrupt_ = true;  // a cycle
    }
    return false;
}

// An entry for a new block: a spare one, or a new slot cut from the top of
// the data area.  8 when neither can be had; nothing changes then.
DWORD Heap::obtain_entry(WORD* k) {
    if (first(kSpare) != ZKSHMEM_NO_ENTRY) {
        *k = pop_spare();
        return 0;
    }
    const DWORD slot = bottom() - ZKSHMEM_ENTRY_SIZE;
    const DWORD number = entry_count() + 1;
    if (number > ZKSHMEM_MAX_ENTRIES) return ERROR_NOT_ENOUGH_MEMORY;
    if (hdr_->dwDataTop > slot) return ERROR_NOT_ENOUGH_MEMORY;
    const WORD t = top_block();
    ZKSHMEM_INDEX* top = entry(t);
    if (corrupt_) return ERROR_NOT_ENOUGH_MEMORY;
    // The top block gives up 16 bytes and must keep at least 5, or vanish.
    if (top->dwId != ZKSHMEM_FREE_ID) return ERROR_NOT_ENOUGH_MEMORY;
    if (top->dwSize != ZKSHMEM_ENTRY_SIZE && top->dwSize < ZKSHMEM_ENTRY_SIZE + ZKSHMEM_MIN_BLOCK)
        return ERROR_NOT_ENOUGH_MEMORY;
    if (top->dwSize == ZKSHMEM_ENTRY_SIZE) {
        unlink(kFree, t);
        push(kSpare, t);
    } else {
        set_size(top, top->dwSize - ZKSHMEM_ENTRY_SIZE);
        write_tags(t);
    }
    set_bottom(slot);
    grow_in_use(ZKSHMEM_ENTRY_SIZE);
    *k = WORD(number);
    return 0;
}

// An entry whose block has merged into a neighbour.  The lowest slot of the
// table goes back to the data area when it can; other entries wait on the
// spare list.
void Heap::release_entry(WORD k) {
    const bool lowest = total_ - ZKSHMEM_ENTRY_SIZE * DWORD(k) == bottom();
    if (lowest && give_back_lowest_slot()) return;
    push(kSpare, k);
}

bool Heap::give_back_lowest_slot() {
    const WORD t = top_block();
    ZKSHMEM_INDEX* top = entry(t);
    if (corrupt_) return false;
    if (top->dwId == ZKSHMEM_FREE_ID) {
        // The free top block swallows the slot.  The spare slots that come
        // to lie at the bottom of the table after it follow once the
        // operation has made the heap consistent: the same blocks and
        // entries in the end, in steps the journal can hold.
        give_slot_to_top(t);
        spare_slots_follow_ = true;
        return true;
    }
    // Above a block in use the slot becomes a free block of its own, which
    // needs an entry: only a spare one will do.
    if (first(kSpare) == ZKSHMEM_NO_ENTRY) return false;
    const WORD s = pop_spare();
    ZKSHMEM_INDEX* e = entry(s);
    const DWORD slot = bottom();
    set_bottom(slot + ZKSHMEM_ENTRY_SIZE);
    set_id(e, ZKSHMEM_FREE_ID);
    set_place(e, slot, ZKSHMEM_ENTRY_SIZE);
    write_tags(s);
    shrink_in_use(ZKSHMEM_ENTRY_SIZE);
    push(kFree, s);
    return true;
}

void Heap::give_slot_to_top(WORD t) {
    ZKSHMEM_INDEX* top = entry(t);
    set_bottom(bottom() + ZKSHMEM_ENTRY_SIZE);
    set_size(top, top->dwSize + ZKSHMEM_ENTRY_SIZE);
    write_tags(t);
    shrink_in_use(ZKSHMEM_ENTRY_SIZE);
}

// As long as the entry in the lowest slot is a spare one, its slot goes to
// the free top block too.  There is no bound on how many follow, but the
// heap is consistent before each one: a commit there keeps the journal to
// one slot's writes, and a kill in between leaves a heap that is merely
// less compact.
void Heap::give_back_spare_slots() {
    while (spare_slots_follow_ && !corrupt_ && bottom() < total_) {
        const WORD lowest = WORD((total_ - bottom()) / ZKSHMEM_ENTRY_SIZE);
        if (!on_spare(lowest)) break;
        const WORD t = top_block();
        if (corrupt_ || entry(t)->dwId != ZKSHMEM_FREE_ID) break;
        log_.commit();
        unlink(kSpare, lowest);
        give_slot_to_top(t);
    }
    spare_slots_follow_ = false;
}

// Whether first fit stops at the free entry fe for need bytes: a block that
// fits exactly, or one at least 5 bytes larger; the top block pays for a new
// slot itself when no spare entry exists, and then needs 21 more.
bool Heap::fits(const ZKSHMEM_INDEX* fe, DWORD need) const {
    const DWORD size = fe->dwSize;
    if (size == need) return true;
    if (size < need || size - need < ZKSHMEM_MIN_BLOCK) return false;
    const bool pays_for_slot = fe->dwOffset + size == bottom() && first(kSpare) == ZKSHMEM_NO_ENTRY;
    return !pays_for_slot || size - need >= ZKSHMEM_ENTRY_SIZE + ZKSHMEM_MIN_BLOCK;
}

// First fit in free-list order.  A block that fits exactly is taken whole;
// a larger one gives its lower part and keeps its entry for the remainder.
// Most steps of the walk pass over fragments that are too small, so those
// read nothing but the size and the link.
DWORD Heap::carve(DWORD need, WORD* k) {
    if (lk_) {
        // The free entries of at least need bytes, in list order, until one
        // fits; each must be the free entry of the size the index knows.
        DWORD leaf = 0;
        for (;;) {
            const WORD f = trees_.first_at_least(need, leaf, &leaf);
            if (!trees_.ok()) break;
            if (f == 0) return ERROR_NOT_ENOUGH_MEMORY;
            if (!is_entry(f) || trees_.state_of(f) != int(ZKSHMEM_LOOKUP_FREE)) break;
            const ZKSHMEM_INDEX* fe = entry(f);
            if (fe->dwId != ZKSHMEM_FREE_ID || fe->dwSize != trees_.key_of(f) || !block_ok(fe)) break;
            if (fits(fe, need)) return take(f, need, k);
            ++leaf;
        }
        drop_lookup();
    }
    const DWORD count = entry_count();
    DWORD steps = 0;
    for (WORD f = first(kFree); f != ZKSHMEM_NO_ENTRY;) {
        if (f == 0 || f > count || ++steps > count) {
            corrupt_ = true;  // a link out of the table, or a cycle
            break;
        }
        ZKSHMEM_INDEX* fe = reinterpret_cast<ZKSHMEM_INDEX*>(base_ + total_ - ZKSHMEM_ENTRY_SIZE * f);
        const DWORD size = fe->dwSize;
        if (size != need && (size < need || size - need < ZKSHMEM_MIN_BLOCK)) {
            f = fe->wNext;
            continue;
        }
        if (!block_ok(fe)) {
            corrupt_ = true;
            break;
        }
        if (!fits(fe, need)) {
            f = fe->wNext;
            continue;
        }
        return take(f, need, k);
    }
    return ERROR_NOT_ENOUGH_MEMORY;
}

// The free entry f where first fit stopped gives need bytes.
DWORD Heap::take(WORD f, DWORD need, WORD* k) {
    ZKSHMEM_INDEX* fe = entry(f);
    if (fe->dwSize == need) {
        unlink(kFree, f);
        grow_in_use(need);
        *k = f;
        return 0;
    }
    WORD n;
    if (DWORD r = obtain_entry(&n)) return r;
    ZKSHMEM_INDEX* ne = entry(n);
    const DWORD lower = fe->dwOffset;
    set_place(ne, lower, need);
    set_place(fe, lower + need, fe->dwSize - need);  // less the slot, if fe paid for it
    write_tags(f);
    write_tags(n);
    grow_in_use(need);
    *k = n;
    return 0;
}

// Puts the block of entry k, just out of use and on no list, back among the
// free blocks, merged with a free neighbour above and one below.
void Heap::insert_free(WORD k) {
    ZKSHMEM_INDEX* e = entry(k);
    const DWORD end = e->dwOffset + e->dwSize;
    const bool was_highest = hdr_->dwDataTop == end;

    WORD m = k;
    bool merged_up = false;
    if (end != bottom()) {
        const WORD nk = tag(end);
        ZKSHMEM_INDEX* ne = entry(nk);
        if (!corrupt_ && ne->dwId == ZKSHMEM_FREE_ID) {
            if (ne->dwOffset != end || !block_ok(ne)) {
                corrupt_ = true;
                return;
            }
            set_place(ne, e->dwOffset, ne->dwSize + e->dwSize);
            write_tags(nk);
            release_entry(k);
            m = nk;
            merged_up = true;
        }
    }

    ZKSHMEM_INDEX* me = entry(m);
    if (me->dwOffset != ZKSHMEM_HEADER_SIZE) {
        const WORD pk = tag(me->dwOffset - ZKSHMEM_TAG_SIZE);
        ZKSHMEM_INDEX* pe = entry(pk);
        if (!corrupt_ && pe->dwId == ZKSHMEM_FREE_ID) {
            if (!block_ok(pe) || pe->dwOffset + pe->dwSize != me->dwOffset) {
                corrupt_ = true;
                return;
            }
            set_place(me, pe->dwOffset, me->dwSize + pe->dwSize);
            set_id(me, ZKSHMEM_FREE_ID);
            write_tags(m);
            unlink(kFree, pk);
            release_entry(pk);
        }
    }

    if (!merged_up) {
        set_id(me, ZKSHMEM_FREE_ID);
        push(kFree, m);
    }
    // The block below a free block is in use, or there is none.
    if (was_highest) set_data_top(me->dwOffset);
}

DWORD Heap::alloc(DWORD size, DWORD id, DWORD* offset) {
    if (!whole()) return ERROR_FILE_CORRUPT;
    if (size > 0xFFFFFFFFu - ZKSHMEM_BLOCK_OVERHEAD) return ERROR_NOT_ENOUGH_MEMORY;
    WORD k;
    if (DWORD r = carve(size + ZKSHMEM_BLOCK_OVERHEAD, &k)) return finish(r);
    ZKSHMEM_INDEX* e = entry(k);
    set_id(e, id);
    push(kUsed, k);
    const DWORD end = e->dwOffset + e->dwSize;
    if (end > hdr_->dwDataTop) set_data_top(end);
    *offset = e->dwOffset + ZKSHMEM_TAG_SIZE;
    return finish(0);
}

DWORD Heap::free(DWORD offset) {
    if (!whole()) return ERROR_FILE_CORRUPT;
    WORD k;
    if (!in_use_at(offset, &k)) return ERROR_INVALID_PARAMETER;
    ZKSHMEM_INDEX* e = entry(k);
    if (!block_ok(e)) return ERROR_FILE_CORRUPT;
    shrink_in_use(e->dwSize);
    unlink(kUsed, k);
    insert_free(k);
    give_back_spare_slots();
    return finish(0);
}

DWORD Heap::find(DWORD id, DWORD* offset) {
    if (!whole()) return ERROR_FILE_CORRUPT;
    if (lk_) {
        const WORD k = trees_.newest(id);
        if (trees_.ok() && k == 0) return ERROR_SERVICE_NOT_FOUND;
        if (trees_.ok() && is_entry(k)) {
            const ZKSHMEM_INDEX* e = entry(k);
            if (e->dwId == id && block_ok(e)) {
                *offset = e->dwOffset + ZKSHMEM_TAG_SIZE;
                return 0;
            }
        }
        drop_lookup();
    }
    // Like the walk of first fit, a step reads the identifier and the link
    // only; the table's bounds are worked out once.
    const DWORD count = entry_count();
    const BYTE* const end = base_ + total_;
    DWORD steps = 0;
    for (WORD u = first(kUsed); u != ZKSHMEM_NO_ENTRY; ++steps) {
        if (u == 0 || u > count || steps >= count) return ERROR_FILE_CORRUPT;
        const ZKSHMEM_INDEX* e = reinterpret_cast<const ZKSHMEM_INDEX*>(end - ZKSHMEM_ENTRY_SIZE * DWORD(u));
        if (e->dwId == id) {
            // The address goes to the caller: it must lie in a block.
            if (!block_ok(e)) return ERROR_FILE_CORRUPT;
            *offset = e->dwOffset + ZKSHMEM_TAG_SIZE;
            return 0;
        }
        u = e->wNext;
    }
    return ERROR_SERVICE_NOT_FOUND;
}

DWORD Heap::change_id(DWORD offset, DWORD id) {
    if (!whole()) return ERROR_FILE_CORRUPT;
    WORD k;
    if (!in_use_at(offset, &k)) return ERROR_INVALID_PARAMETER;
    set_id(entry(k), id);
    return finish(0);
}

}  // namespace

DWORD zkshmem_region_size(DWORD dwSize, DWORD* pdwTotalSize) {
    if (dwSize == 0) return ERROR_INVALID_PARAMETER;
    const unsigned long long chunks = (static_cast<unsigned long long>(dwSize) + 31) >> 5;
    const unsigned long long total = dwSize + chunks * 24 + ZKSHMEM_HEADER_SIZE;
    if (total > 0xFFFFFFFFull) return ERROR_INVALID_PARAMETER;
    *pdwTotalSize = static_cast<DWORD>(total);
    return 0;
}

void zkshmem_layout(BYTE* pBase, DWORD dwTotalSize) {
    ZKSHMEM_REGION* hdr = reinterpret_cast<ZKSHMEM_REGION*>(pBase);
    std::memset(hdr, 0, sizeof *hdr);
    const DWORD first_entry = dwTotalSize - ZKSHMEM_ENTRY_SIZE;
    hdr->wUsedHead = hdr->wUsedTail = ZKSHMEM_NO_ENTRY;
    hdr->wFreeHead = hdr->wFreeTail = 1;
    hdr->wSpareHead = hdr->wSpareTail = ZKSHMEM_NO_ENTRY;
    hdr->dwDataTop = ZKSHMEM_HEADER_SIZE;
    hdr->dwIndexBottom = first_entry;
    hdr->dwBytesInUse = ZKSHMEM_HEADER_SIZE + ZKSHMEM_ENTRY_SIZE;
    hdr->dwBytesFree = dwTotalSize - hdr->dwBytesInUse;

    ZKSHMEM_INDEX* e = reinterpret_cast<ZKSHMEM_INDEX*>(pBase + first_entry);
    std::memset(e, 0, sizeof *e);
    e->dwId = ZKSHMEM_FREE_ID;
    e->dwOffset = ZKSHMEM_HEADER_SIZE;
    e->dwSize = hdr->dwBytesFree;
    e->wNext = e->wPrev = ZKSHMEM_NO_ENTRY;
    store16(pBase + ZKSHMEM_HEADER_SIZE, 1);
    store16(pBase + first_entry - ZKSHMEM_TAG_SIZE, 1);
}

DWORD zkshmem_alloc(BYTE* pBase, DWORD dwTotalSize, DWORD dwSize, DWORD dwId, DWORD* pdwOffset,
                    const ZKSHMEM_UNDO* pUndo, ZKSHMEM_LOOKUP* pLookup) {
    Heap heap(pBase, dwTotalSize, pUndo);
    heap.use_lookup(pLookup, true);
    return heap.alloc(dwSize, dwId, pdwOffset);
}

DWORD zkshmem_free(BYTE* pBase, DWORD dwTotalSize, DWORD dwOffset, const ZKSHMEM_UNDO* pUndo,
                   ZKSHMEM_LOOKUP* pLookup) {
    Heap heap(pBase, dwTotalSize, pUndo);
    heap.use_lookup(pLookup, true);
    return heap.free(dwOffset);
}

DWORD zkshmem_find(const BYTE* pBase, DWORD dwTotalSize, DWORD dwId, DWORD* pdwOffset,
                   ZKSHMEM_LOOKUP* pLookup, bool bMayRebuild) {
    // Finding only reads the region; the heap object's writers are never
    // reached, and the index is written only when the caller allows.
    Heap heap(const_cast<BYTE*>(pBase), dwTotalSize, nullptr);
    heap.use_lookup(pLookup, bMayRebuild);
    return heap.find(dwId, pdwOffset);
}

DWORD zkshmem_change_id(BYTE* pBase, DWORD dwTotalSize, DWORD dwOffset, DWORD dwNewId,
                        const ZKSHMEM_UNDO* pUndo, ZKSHMEM_LOOKUP* pLookup) {
    Heap heap(pBase, dwTotalSize, pUndo);
    heap.use_lookup(pLookup, true);
    return heap.change_id(dwOffset, dwNewId);
}
