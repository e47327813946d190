#include "ZKShMemCheck.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

// What the walks learn about each entry.
enum : BYTE { kOnNoList = 0, kOnUsed = 1, kOnFree = 2, kOnSpare = 3, kListMask = 3, kHasBlock = 4 };

const char* const kListNames[] = {"no", "used", "free", "spare"};

WORD load16(const BYTE* p) {
    WORD v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

class Checker {
public:
    Checker(const BYTE* base, DWORD total, ZKSHMEM_CHECK* result)
        : base_(base), total_(total), hdr_(reinterpret_cast<const ZKSHMEM_REGION*>(base)),
          out_(result) {
        std::memset(out_, 0, sizeof *out_);
    }

    DWORD run();

private:
    bool header();
    bool lists();
    bool list(BYTE which, WORD first, WORD last);
    bool blocks();
    bool totals();

    DWORD bottom() const { return hdr_->dwIndexBottom; }
    DWORD count() const { return (total_ - bottom()) / ZKSHMEM_ENTRY_SIZE; }
    bool is_entry(DWORD k) const { return k >= 1 && k <= count(); }
    const ZKSHMEM_INDEX* entry(WORD k) const {
        return reinterpret_cast<const ZKSHMEM_INDEX*>(base_ + total_ - ZKSHMEM_ENTRY_SIZE * k);
    }
    bool fail(DWORD rule, DWORD offset, DWORD entry, const char* fmt, ...);

    const BYTE* const base_;
    const DWORD total_;
    const ZKSHMEM_REGION* const hdr_;
    ZKSHMEM_CHECK* const out_;
    std::unique_ptr<BYTE[]> state_;
    DWORD highest_used_end_ = ZKSHMEM_HEADER_SIZE;
    unsigned long long free_bytes_ = 0;
};

bool Checker::fail(DWORD rule, DWORD offset, DWORD entry, const char* fmt, ...) {
    out_->dwRule = rule;
    out_->dwOffset = offset;
    out_->dwEntry = entry;
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(out_->szText, sizeof out_->szText, fmt, args);
    va_end(args);
    return false;
}

DWORD Checker::run() {
    if (!header()) return ERROR_FILE_CORRUPT;
    state_.reset(new (std::nothrow) BYTE[count() + 1]());
    if (!state_) return ERROR_NOT_ENOUGH_MEMORY;
    if (!lists() || !blocks() || !totals()) return ERROR_FILE_CORRUPT;
    return 0;
}

bool Checker::header() {
    const DWORD min_total = ZKSHMEM_HEADER_SIZE + ZKSHMEM_MIN_BLOCK + ZKSHMEM_ENTRY_SIZE;
    if (total_ < min_total)
        return fail(ZKSHMEM_RULE_HEADER, 0, 0, "region of %lu bytes is too small for a heap",
                    (unsigned long)total_);
    const DWORD b = bottom();
    if (b < ZKSHMEM_HEADER_SIZE + ZKSHMEM_MIN_BLOCK || b > total_ - ZKSHMEM_ENTRY_SIZE ||
        (total_ - b) % ZKSHMEM_ENTRY_SIZE != 0 || count() > ZKSHMEM_MAX_ENTRIES)
        return fail(ZKSHMEM_RULE_HEADER, 16, 0, "dwIndexBottom %lu is no entry boundary",
                    (unsigned long)b);
    if (hdr_->dwDataTop < ZKSHMEM_HEADER_SIZE || hdr_->dwDataTop > b)
        return fail(ZKSHMEM_RULE_HEADER, 12, 0, "dwDataTop %lu lies outside the data area",
                    (unsigned long)hdr_->dwDataTop);
    return true;
}

bool Checker::lists() {
    if (!list(kOnUsed, hdr_->wUsedHead, hdr_->wUsedTail) ||
        !list(kOnFree, hdr_->wFreeHead, hdr_->wFreeTail) ||
        !list(kOnSpare, hdr_->wSpareHead, hdr_->wSpareTail))
        return false;
    for (DWORD k = 1; k <= count(); ++k)
        if ((state_[k] & kListMask) == kOnNoList)
            return fail(ZKSHMEM_RULE_LISTS, total_ - ZKSHMEM_ENTRY_SIZE * k, k,
                        "entry %lu is on no list", (unsigned long)k);
    return true;
}

bool Checker::list(BYTE which, WORD first, WORD last) {
    const char* name = kListNames[which];
    const DWORD anchor = 4u * (which - 1);
    if ((first == ZKSHMEM_NO_ENTRY) != (last == ZKSHMEM_NO_ENTRY))
        return fail(ZKSHMEM_RULE_HEADER, anchor, 0, "the %s list has only one end", name);
    WORD prev = ZKSHMEM_NO_ENTRY;
    for (WORD k = first; k != ZKSHMEM_NO_ENTRY;) {
        if (!is_entry(k))
            return fail(ZKSHMEM_RULE_LISTS, anchor, k,
                        "the %s list names entry %u outside the index table", name, k);
        const DWORD at = total_ - ZKSHMEM_ENTRY_SIZE * k;
        // An entry met a second time is on two lists, or this one loops.
        if (state_[k] == which)
            return fail(ZKSHMEM_RULE_LISTS, at, k, "the %s list loops at entry %u", name, k);
        if (state_[k] != kOnNoList)
            return fail(ZKSHMEM_RULE_LISTS, at, k, "entry %u is on the %s list and the %s list",
                        k, kListNames[state_[k]], name);
        state_[k] = which;
        if (which == kOnSpare) ++out_->dwSpareEntries;
        const ZKSHMEM_INDEX* e = entry(k);
        if (e->wPrev != prev)
            return fail(ZKSHMEM_RULE_LISTS, at, k,
                        "entry %u on the %s list links back to %u, not %u", k, name, e->wPrev, prev);
        if (which == kOnUsed && e->dwId == ZKSHMEM_FREE_ID)
            return fail(ZKSHMEM_RULE_LISTS, at, k, "entry %u is in use with the free mark", k);
        if (which == kOnFree && e->dwId != ZKSHMEM_FREE_ID)
            return fail(ZKSHMEM_RULE_LISTS, at, k, "entry %u is free without the free mark", k);
        prev = k;
        k = e->wNext;
    }
    if (last != prev)
        return fail(ZKSHMEM_RULE_LISTS, anchor + 2, 0, "the %s list ends at %u, not at %u", name,
                    prev, last);
    return true;
}

bool Checker::blocks() {
    bool below_is_free = false;
    DWORD o = ZKSHMEM_HEADER_SIZE;
    while (o < bottom()) {
        if (bottom() - o < ZKSHMEM_TAG_SIZE)
            return fail(ZKSHMEM_RULE_BLOCKS, o, 0, "the data area ends inside a tag at %lu",
                        (unsigned long)o);
        const WORD k = load16(base_ + o);
        if (!is_entry(k))
            return fail(ZKSHMEM_RULE_BLOCKS, o, k, "the tag at %lu names no entry (%u)",
                        (unsigned long)o, k);
        const ZKSHMEM_INDEX* e = entry(k);
        const BYTE list = state_[k] & kListMask;
        if (list != kOnUsed && list != kOnFree)
            return fail(ZKSHMEM_RULE_BLOCKS, o, k, "the block at %lu has entry %u, which is %s",
                        (unsigned long)o, k, list == kOnSpare ? "spare" : "on no list");
        if (e->dwOffset != o)
            return fail(ZKSHMEM_RULE_BLOCKS, o, k, "entry %u puts its block at %lu, its tag is at %lu",
                        k, (unsigned long)e->dwOffset, (unsigned long)o);
        if (e->dwSize < ZKSHMEM_MIN_BLOCK || e->dwSize > bottom() - o)
            return fail(ZKSHMEM_RULE_BLOCKS, o, k, "the block of entry %u has a size of %lu", k,
                        (unsigned long)e->dwSize);
        const DWORD end = o + e->dwSize;
        if (load16(base_ + end - ZKSHMEM_TAG_SIZE) != k)
            return fail(ZKSHMEM_RULE_BLOCKS, end - ZKSHMEM_TAG_SIZE, k,
                        "the upper tag of entry %u's block says %u", k,
                        load16(base_ + end - ZKSHMEM_TAG_SIZE));
        state_[k] |= kHasBlock;
        ++out_->dwBlocks;
        const bool is_free = list == kOnFree;
        if (is_free && below_is_free)
            return fail(ZKSHMEM_RULE_ADJACENT, o, k, "the free block at %lu follows a free block",
                        (unsigned long)o);
        if (is_free) {
            free_bytes_ += e->dwSize;
            ++out_->dwFreeBlocks;
            if (e->dwSize > out_->dwLargestFree) out_->dwLargestFree = e->dwSize;
        } else {
            highest_used_end_ = end;
            ++out_->dwUsedBlocks;
        }
        below_is_free = is_free;
        o = end;
    }
    for (DWORD k = 1; k <= count(); ++k) {
        const BYTE list = state_[k] & kListMask;
        if ((list == kOnUsed || list == kOnFree) && !(state_[k] & kHasBlock))
            return fail(ZKSHMEM_RULE_BLOCKS, entry(WORD(k))->dwOffset, k,
                        "the block of %s entry %lu is not among the blocks", kListNames[list],
                        (unsigned long)k);
    }
    return true;
}

bool Checker::totals() {
    if (hdr_->dwDataTop != highest_used_end_)
        return fail(ZKSHMEM_RULE_DATA_TOP, 12, 0, "dwDataTop is %lu, the highest block in use ends at %lu",
                    (unsigned long)hdr_->dwDataTop, (unsigned long)highest_used_end_);
    if (hdr_->dwBytesFree != free_bytes_)
        return fail(ZKSHMEM_RULE_COUNTERS, 24, 0, "dwBytesFree is %lu, the free blocks hold %llu",
                    (unsigned long)hdr_->dwBytesFree, free_bytes_);
    if (static_cast<unsigned long long>(hdr_->dwBytesInUse) + hdr_->dwBytesFree != total_)
        return fail(ZKSHMEM_RULE_COUNTERS, 20, 0,
                    "dwBytesInUse %lu and dwBytesFree %lu do not add up to %lu",
                    (unsigned long)hdr_->dwBytesInUse, (unsigned long)hdr_->dwBytesFree,
                    (unsigned long)total_);
    return true;
}

}  // namespace

DWORD zkshmem_check_region(const BYTE* pBase, DWORD dwTotalSize, ZKSHMEM_CHECK* pResult) {
    return Checker(pBase, dwTotalSize, pResult).run();
}
