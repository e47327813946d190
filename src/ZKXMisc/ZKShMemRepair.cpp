#include "ZKShMemRepair.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "ZKShMemPriv.h"

namespace {

WORD load16(const BYTE* p) {
    WORD v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
void store16(BYTE* p, WORD v) { std::memcpy(p, &v, sizeof v); }

struct Block {
    DWORD offset, size;
    WORD entry;
    bool used;
};

// Appends one phrase to the result's text, separated by "; ".
void say(ZKSHMEM_REPAIR* out, const char* fmt, ...) {
    size_t len = std::strlen(out->szText);
    if (len && len + 2 < sizeof out->szText) {
        std::strcat(out->szText, "; ");
        len += 2;
    }
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(out->szText + len, sizeof out->szText - len, fmt, args);
    va_end(args);
}

class Rebuilder {
public:
    Rebuilder(BYTE* base, DWORD total, ZKSHMEM_REPAIR* out) : base_(base), total_(total), out_(out) {}
    DWORD run();

private:
    DWORD refuse(const char* fmt, ...);
    bool bottom_ok() const;
    ZKSHMEM_INDEX get(const BYTE* region, WORD k) const {
        ZKSHMEM_INDEX e;
        std::memcpy(&e, region + total_ - ZKSHMEM_ENTRY_SIZE * k, sizeof e);
        return e;
    }
    void put(WORD k, const ZKSHMEM_INDEX& e) {
        std::memcpy(work_.data() + total_ - ZKSHMEM_ENTRY_SIZE * k, &e, sizeof e);
    }
    bool fits(const ZKSHMEM_INDEX& e, DWORD o) const {
        return e.dwOffset == o && e.dwSize >= ZKSHMEM_MIN_BLOCK && e.dwSize <= bottom_ - o;
    }
    void walk_old_lists();
    DWORD find_blocks();
    bool order_used(bool forward);
    void write();

    BYTE* const base_;
    const DWORD total_;
    ZKSHMEM_REPAIR* const out_;
    DWORD bottom_ = 0, count_ = 0;
    std::vector<BYTE> work_;
    std::vector<BYTE> old_list_;  // 0 none, 1 used, 2 free, 3 spare: where the old links put each entry
    std::vector<Block> blocks_;
    std::vector<WORD> used_order_;
    DWORD tags_ = 0;
};

DWORD Rebuilder::refuse(const char* fmt, ...) {
    std::strcpy(out_->szText, "refused, nothing changed: ");
    const size_t len = std::strlen(out_->szText);
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(out_->szText + len, sizeof out_->szText - len, fmt, args);
    va_end(args);
    return ERROR_FILE_CORRUPT;
}

// The index table's place cannot be worked out from anything else.
bool Rebuilder::bottom_ok() const {
    const DWORD b = reinterpret_cast<const ZKSHMEM_REGION*>(base_)->dwIndexBottom;
    return total_ >= ZKSHMEM_HEADER_SIZE + ZKSHMEM_MIN_BLOCK + ZKSHMEM_ENTRY_SIZE &&
           b >= ZKSHMEM_HEADER_SIZE + ZKSHMEM_MIN_BLOCK && b <= total_ - ZKSHMEM_ENTRY_SIZE &&
           (total_ - b) % ZKSHMEM_ENTRY_SIZE == 0 && (total_ - b) / ZKSHMEM_ENTRY_SIZE <= ZKSHMEM_MAX_ENTRIES;
}

// Where the old lists put each entry, as far as they can be followed.  Only
// used to catch an identifier that contradicts its list: then which of the
// two was overwritten cannot be told.
void Rebuilder::walk_old_lists() {
    old_list_.assign(count_ + 1, 0);
    const ZKSHMEM_REGION* h = reinterpret_cast<const ZKSHMEM_REGION*>(base_);
    const WORD heads[] = {h->wUsedHead, h->wFreeHead, h->wSpareHead};
    for (BYTE which = 1; which <= 3; ++which)
        for (DWORD k = heads[which - 1], steps = 0; k >= 1 && k <= count_ && !old_list_[k] && steps < count_; ++steps) {
            old_list_[k] = which;
            k = get(base_, WORD(k)).wNext;
        }
}

// Walks the data area block by block.  A block is proven when its entry
// points back at it and its size leads to the next proven block, or to the
// index table; one of its two tags may be lost, not both.
DWORD Rebuilder::find_blocks() {
    DWORD o = ZKSHMEM_HEADER_SIZE;
    while (o < bottom_) {
        if (bottom_ - o < ZKSHMEM_MIN_BLOCK) return refuse("the data area ends inside a block at %lu", (unsigned long)o);
        WORD k = load16(base_ + o);
        bool lower_ok = k >= 1 && k <= count_ && fits(get(base_, k), o);
        if (!lower_ok) {
            // The lower tag is lost: the one entry that places a block here
            // and whose upper tag agrees.
            DWORD found = 0;
            for (DWORD j = 1; j <= count_; ++j) {
                const ZKSHMEM_INDEX e = get(base_, WORD(j));
                if (fits(e, o) && load16(base_ + o + e.dwSize - ZKSHMEM_TAG_SIZE) == j) {
                    if (found) return refuse("entries %lu and %lu both claim the block at %lu", (unsigned long)found,
                                             (unsigned long)j, (unsigned long)o);
                    found = j;
                }
            }
            if (!found) return refuse("no entry can be proven for the block at %lu", (unsigned long)o);
            k = WORD(found);
        }
        const ZKSHMEM_INDEX e = get(base_, k);
        const bool upper_ok = load16(base_ + o + e.dwSize - ZKSHMEM_TAG_SIZE) == k;
        tags_ += !lower_ok + !upper_ok;
        const bool used = e.dwId != ZKSHMEM_FREE_ID;
        const BYTE was = old_list_[k];
        if ((used && (was == 2 || was == 3)) || (!used && was == 1))
            return refuse("entry %u is %s by its identifier but on the %s list", k, used ? "in use" : "free",
                          was == 1 ? "used" : was == 2 ? "free" : "spare");
        // A heap operation never leaves two free blocks side by side: one of
        // them may well have been in use before its entry was overwritten.
        if (!used && !blocks_.empty() && !blocks_.back().used)
            return refuse("the free blocks at %lu and %lu touch; one of them may have been in use",
                          (unsigned long)blocks_.back().offset, (unsigned long)o);
        blocks_.push_back(Block{o, e.dwSize, k, used});
        o += e.dwSize;
    }
    // Two entries linked to each other both ways were on one list.  When
    // their identifiers say one is in use and the other free, one of the
    // identifiers was overwritten, even where the list's ends are lost.
    std::vector<BYTE> kind(count_ + 1, 0);
    for (const Block& b : blocks_) kind[b.entry] = b.used ? 1 : 2;
    for (const Block& b : blocks_) {
        const ZKSHMEM_INDEX e = get(base_, b.entry);
        for (const WORD n : {e.wNext, e.wPrev}) {
            if (n < 1 || n > count_ || !kind[n] || kind[n] == kind[b.entry]) continue;
            const ZKSHMEM_INDEX other = get(base_, n);
            if ((n == e.wNext && other.wPrev == b.entry) || (n == e.wPrev && other.wNext == b.entry))
                return refuse("entries %u and %u are linked to each other, but one is in use and the other free",
                              b.entry, n);
        }
    }
    return 0;
}

// The most recent allocation first: finding by identifier depends on it.
// The order is taken from one link direction when it strings every block
// in use together exactly once; the other direction is then rewritten.
bool Rebuilder::order_used(bool forward) {
    std::vector<BYTE> in_use(count_ + 1, 0), named(count_ + 1, 0);
    DWORD n = 0;
    for (const Block& b : blocks_)
        if (b.used) in_use[b.entry] = 1, ++n;
    used_order_.clear();
    if (n == 0) return true;
    DWORD ends = 0;
    for (const Block& b : blocks_) {
        if (!b.used) continue;
        const ZKSHMEM_INDEX e = get(base_, b.entry);
        const WORD link = forward ? e.wNext : e.wPrev;
        if (link == ZKSHMEM_NO_ENTRY) {
            if (ends++) return false;
        } else if (link > count_ || !in_use[link] || named[link]++) {
            return false;
        }
    }
    // Walking from the one entry nobody names reaches every entry exactly
    // once: no entry is named twice, so no loop can hide beside the chain.
    WORD first = ZKSHMEM_NO_ENTRY;
    for (const Block& b : blocks_)
        if (b.used && !named[b.entry]) {
            if (first != ZKSHMEM_NO_ENTRY) return false;
            first = b.entry;
        }
    if (first == ZKSHMEM_NO_ENTRY) return false;
    for (WORD k = first; k != ZKSHMEM_NO_ENTRY && used_order_.size() <= n;) {
        used_order_.push_back(k);
        const ZKSHMEM_INDEX e = get(base_, k);
        k = forward ? e.wNext : e.wPrev;
    }
    if (used_order_.size() != n) return false;
    if (!forward) std::vector<WORD>(used_order_.rbegin(), used_order_.rend()).swap(used_order_);
    return true;
}

void Rebuilder::write() {
    std::vector<BYTE> has_block(count_ + 1, 0);
    ZKSHMEM_REGION hdr;
    std::memcpy(&hdr, work_.data(), sizeof hdr);
    hdr.wUsedHead = hdr.wUsedTail = hdr.wFreeHead = hdr.wFreeTail = hdr.wSpareHead = hdr.wSpareTail = ZKSHMEM_NO_ENTRY;
    hdr.dwDataTop = ZKSHMEM_HEADER_SIZE;
    DWORD free_bytes = 0;
    WORD last_free = ZKSHMEM_NO_ENTRY;
    for (const Block& b : blocks_) {
        has_block[b.entry] = 1;
        ZKSHMEM_INDEX e = get(work_.data(), b.entry);
        e.dwOffset = b.offset;
        e.dwSize = b.size;
        if (b.used) {
            hdr.dwDataTop = b.offset + b.size;
        } else {
            e.dwId = ZKSHMEM_FREE_ID;
            e.wPrev = last_free;
            e.wNext = ZKSHMEM_NO_ENTRY;
            if (last_free == ZKSHMEM_NO_ENTRY) {
                hdr.wFreeHead = b.entry;
            } else {
                ZKSHMEM_INDEX p = get(work_.data(), last_free);
                p.wNext = b.entry;
                put(last_free, p);
            }
            hdr.wFreeTail = last_free = b.entry;
            free_bytes += b.size;
        }
        put(b.entry, e);
        store16(work_.data() + b.offset, b.entry);
        store16(work_.data() + b.offset + b.size - ZKSHMEM_TAG_SIZE, b.entry);
    }
    for (size_t i = 0; i < used_order_.size(); ++i) {
        ZKSHMEM_INDEX e = get(work_.data(), used_order_[i]);
        e.wPrev = i ? used_order_[i - 1] : ZKSHMEM_NO_ENTRY;
        e.wNext = i + 1 < used_order_.size() ? used_order_[i + 1] : ZKSHMEM_NO_ENTRY;
        put(used_order_[i], e);
    }
    if (!used_order_.empty()) hdr.wUsedHead = used_order_.front(), hdr.wUsedTail = used_order_.back();
    WORD last_spare = ZKSHMEM_NO_ENTRY;
    for (DWORD k = 1; k <= count_; ++k) {
        if (has_block[k]) continue;
        ZKSHMEM_INDEX e = get(work_.data(), WORD(k));
        e.wPrev = last_spare;
        e.wNext = ZKSHMEM_NO_ENTRY;
        put(WORD(k), e);
        if (last_spare == ZKSHMEM_NO_ENTRY) {
            hdr.wSpareHead = WORD(k);
        } else {
            ZKSHMEM_INDEX p = get(work_.data(), last_spare);
            p.wNext = WORD(k);
            put(last_spare, p);
        }
        hdr.wSpareTail = last_spare = WORD(k);
    }
    hdr.dwBytesFree = free_bytes;
    hdr.dwBytesInUse = total_ - free_bytes;
    std::memcpy(work_.data(), &hdr, sizeof hdr);
}

DWORD Rebuilder::run() {
    if (!bottom_ok()) return refuse("the index table's lower end (dwIndexBottom) is lost");
    bottom_ = reinterpret_cast<const ZKSHMEM_REGION*>(base_)->dwIndexBottom;
    count_ = (total_ - bottom_) / ZKSHMEM_ENTRY_SIZE;
    try {
        work_.assign(base_, base_ + total_);
        walk_old_lists();
        if (const DWORD r = find_blocks()) return r;
        if (!order_used(true) && !order_used(false))
            return refuse("the order of the used list cannot be proven from either of its link directions");
        write();
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    ZKSHMEM_CHECK after;
    if (const DWORD r = zkshmem_check_region(work_.data(), total_, &after))
        return r == ERROR_FILE_CORRUPT ? refuse("the rebuilt heap still fails: %s", after.szText) : r;
    // What callers hold is not to move: the rebuild wrote only bookkeeping,
    // and this says so before anything reaches the region.
    for (const Block& b : blocks_) {
        if (!b.used) continue;
        const ZKSHMEM_INDEX was = get(base_, b.entry), now = get(work_.data(), b.entry);
        const DWORD inner = b.offset + ZKSHMEM_TAG_SIZE, len = b.size - 2 * ZKSHMEM_TAG_SIZE;
        if (was.dwOffset != now.dwOffset || was.dwSize != now.dwSize || was.dwId != now.dwId ||
            std::memcmp(base_ + inner, work_.data() + inner, len) != 0)
            return refuse("the rebuild would have changed the block in use of entry %u", b.entry);
    }
    DWORD used = 0;
    for (const Block& b : blocks_) used += b.used;
    for (DWORD i = 0; i < total_; ++i) out_->dwBytesChanged += base_[i] != work_[i];
    out_->dwRebuilt = out_->dwBytesChanged != 0;
    if (!out_->dwRebuilt) return 0;
    ZKSHMEM_REGION was, now;
    std::memcpy(&was, base_, sizeof was);
    std::memcpy(&now, work_.data(), sizeof now);
    DWORD entries = 0;
    for (DWORD k = 1; k <= count_; ++k) {
        const DWORD at = total_ - ZKSHMEM_ENTRY_SIZE * k;
        entries += std::memcmp(base_ + at, work_.data() + at, ZKSHMEM_ENTRY_SIZE) != 0;
    }
    say(out_, "rebuilt around %lu blocks in use and %lu free (%lu bytes changed)", (unsigned long)used,
        (unsigned long)(blocks_.size() - used), (unsigned long)out_->dwBytesChanged);
    if (std::memcmp(&was, &now, 12) != 0) say(out_, "set the list ends in the header");
    if (entries) say(out_, "relinked %lu index entries", (unsigned long)entries);
    if (was.dwDataTop != now.dwDataTop)
        say(out_, "dwDataTop %lu -> %lu", (unsigned long)was.dwDataTop, (unsigned long)now.dwDataTop);
    if (was.dwBytesInUse != now.dwBytesInUse || was.dwBytesFree != now.dwBytesFree)
        say(out_, "dwBytesInUse/dwBytesFree %lu/%lu -> %lu/%lu", (unsigned long)was.dwBytesInUse,
            (unsigned long)was.dwBytesFree, (unsigned long)now.dwBytesInUse, (unsigned long)now.dwBytesFree);
    if (tags_) say(out_, "rewrote %lu lost boundary tags", (unsigned long)tags_);
    std::memcpy(base_, work_.data(), total_);
    return 0;
}

}  // namespace

DWORD zkshmem_repair_region(BYTE* pBase, DWORD dwTotalSize, ZKSHMEM_REPAIR* pResult) {
    std::memset(pResult, 0, sizeof *pResult);
    const DWORD r = zkshmem_check_region(pBase, dwTotalSize, &pResult->before);
    if (r != ERROR_FILE_CORRUPT) return r;
    return Rebuilder(pBase, dwTotalSize, pResult).run();
}

DWORD zkshmem_repair_handle(PZKSHMEM_HEAD hShMem, DWORD dwTimeout, ZKSHMEM_REPAIR* pResult) {
    std::memset(pResult, 0, sizeof *pResult);
    if (!hShMem) return ERROR_INVALID_HANDLE;
    if (hShMem->dwAccess == ZKSHMEM_READONLY) return ERROR_INVALID_ACCESS;
    // The heap mutex that every heap call takes, abandoned or not: the
    // rollback below is what the next call would do anyway.
    const DWORD wait = WaitForSingleObject(hShMem->hMutex, dwTimeout);
    if (wait == WAIT_TIMEOUT) return ERROR_SERVICE_REQUEST_TIMEOUT;
    if (wait == WAIT_FAILED) {
        const DWORD e = GetLastError();
        return e ? e : DWORD(ERROR_INVALID_HANDLE);
    }
    ZKSHMEM_JOURNAL* journal = zkshmem_journal(hShMem);
    if (zkshmem_journal_pending(journal) != 0) {
        const ZKSHMEM_UNDO undo{journal, nullptr, nullptr};
        zkshmem_lookup_invalidate(zkshmem_lookup(hShMem));
        zkshmem_journal_rollback(&undo, hShMem->pBase, hShMem->dwTotalSize);
        pResult->dwRolledBack = 1;
    }
    const bool marked = __atomic_load_n(&journal->dwDamaged, __ATOMIC_RELAXED) != 0;
    ZKSHMEM_REPAIR repair;
    const DWORD r = zkshmem_repair_region(hShMem->pBase, hShMem->dwTotalSize, &repair);
    repair.dwRolledBack = pResult->dwRolledBack;
    repair.dwWasMarked = marked;
    *pResult = repair;
    if (r == 0 && (marked || repair.dwRebuilt || repair.dwRolledBack)) {
        // Built while the heap was not what it claimed: not to be trusted.
        zkshmem_lookup_invalidate(zkshmem_lookup(hShMem));
        __atomic_store_n(&journal->dwDamaged, 0u, __ATOMIC_RELAXED);
    } else if (r == ERROR_FILE_CORRUPT && repair.dwRolledBack) {
        // As the call that would have rolled back marks it.
        __atomic_store_n(&journal->dwDamaged, 1u, __ATOMIC_RELAXED);
    }
    ReleaseMutex(hShMem->hMutex);
    return r;
}
