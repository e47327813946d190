// Sequences of heap operations on a region in a plain buffer, with an undo
// journal.  The oracle: after every operation the checker finds the region
// consistent and the journal empty; a failed operation leaves every byte as
// it was; no operation writes into caller memory; finding by identifier
// agrees with a list of the blocks in use.  In each operation one moment
// with records in force is taken as a kill: rolling back what it left must
// give the operation's start, or its last commit, byte for byte.
//
// Every operation also runs on a twin region that keeps a lookup index:
// both must give the same result and hold the same bytes after each step,
// the index must say what the twin's lists say whenever it counts as valid,
// and an index left by a kill in the twin must not count as valid for the
// region that the rollback restores unless it says exactly that.  Now and
// then the index is declared stale (as after an abandoned mutex), and a
// finding that may not rebuild it must walk instead.
//
// Input: two bytes of payload size, then operations of four bytes each:
// opcode, a selector (its low four bits an identifier, its high four the
// kill moment), and a 16-bit argument.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ZKShMemCheck.h"
#include "ZKShMemHeap.h"
#include "ZKShMemJournal.h"
#include "ZKShMemLookup.h"

namespace {

struct Block {
    DWORD offset;  // caller memory
    DWORD size;
    DWORD id;
    BYTE fill;
};

[[noreturn]] void fail(const char* what, const BYTE* base, DWORD total) {
    ZKSHMEM_CHECK check;
    zkshmem_check_region(base, total, &check);
    std::fprintf(stderr, "%s (checker: %s)\n", what, check.szText);
    std::abort();
}

class Run {
public:
    explicit Run(DWORD payload) {
        zkshmem_region_size(payload, &total_);
        region_.assign(total_, 0);
        zkshmem_layout(base(), total_);
        twin_ = region_;
        lookup_.assign(zkshmem_lookup_size(total_), 0);
    }

    void step(BYTE op, BYTE sel, WORD arg) {
        before_ = region_;
        committed_ = region_;
        kill_at_ = 1 + sel / 16;
        moments_ = 0;
        left_.clear();
        twin_before_ = twin_;
        twin_committed_ = twin_;
        twin_moments_ = 0;
        twin_left_.clear();
        const DWORD id = sel % 16;
        DWORD r = 0, r2 = 0, offset = 0, offset2 = 0;
        switch (op % 7) {
            case 0:
            case 1:  // alloc, mostly small
                r = zkshmem_alloc(base(), total_, op % 7 ? arg % 64 : arg, id, &offset, &undo_);
                r2 = zkshmem_alloc(twin(), total_, op % 7 ? arg % 64 : arg, id, &offset2, &twin_undo_, lookup());
                if (r == 0) {
                    add(offset, op % 7 ? arg % 64 : arg, id);
                } else if (r != ERROR_NOT_ENOUGH_MEMORY) {
                    fail("alloc gave an unexpected code", base(), total_);
                }
                break;
            case 2:  // free a block in use
                if (blocks_.empty()) return;
                offset = take(sel).offset;
                r = zkshmem_free(base(), total_, offset, &undo_);
                r2 = zkshmem_free(twin(), total_, offset, &twin_undo_, lookup());
                if (r != 0) fail("freeing a block in use failed", base(), total_);
                offset2 = offset;
                break;
            case 3: {  // find; with the index, as a reader (no rebuild) or a writer
                r = zkshmem_find(base(), total_, id, &offset);
                r2 = zkshmem_find(twin(), total_, id, &offset2, lookup(), arg & 1);
                const Block* expected = newest(id);
                if (expected ? r != 0 || offset != expected->offset : r != ERROR_SERVICE_NOT_FOUND)
                    fail("find disagrees with the blocks in use", base(), total_);
                break;
            }
            case 4:  // change the id of a block in use
                if (blocks_.empty()) return;
                offset = offset2 = pick(sel).offset;
                r = zkshmem_change_id(base(), total_, offset, id, &undo_);
                r2 = zkshmem_change_id(twin(), total_, offset, id, &twin_undo_, lookup());
                if (r != 0) fail("changing the id of a block in use failed", base(), total_);
                pick(sel).id = id;
                break;
            case 5:  // the index is not to be trusted any more
                zkshmem_lookup_invalidate(lookup());
                return;
            default: {  // free or change id at an address that names no block in use
                offset = offset2 = arg % (total_ + 1);
                if (in_use(offset)) return;
                r = sel & 1 ? zkshmem_free(base(), total_, offset, &undo_)
                            : zkshmem_change_id(base(), total_, offset, id, &undo_);
                r2 = sel & 1 ? zkshmem_free(twin(), total_, offset, &twin_undo_, lookup())
                             : zkshmem_change_id(twin(), total_, offset, id, &twin_undo_, lookup());
                if (r != ERROR_INVALID_PARAMETER) fail("a bad address was accepted", base(), total_);
                break;
            }
        }
        if (r != 0 && region_ != before_) fail("a failed operation changed the region", base(), total_);
        if (journal_.dwCount != 0) fail("the operation left records in force", base(), total_);
        if (r2 != r || (r == 0 && offset2 != offset)) fail("the index gave another result than the walk", base(), total_);
        if (twin_ != region_) fail("the index left other bytes than the walk", twin(), total_);
        if (zkshmem_lookup_usable(lookup(), twin(), total_) && !zkshmem_lookup_agrees(lookup(), twin(), total_))
            fail("the index disagrees with the lists", twin(), total_);
        verify();
        verify_kill();
        verify_twin_kill();
    }

private:
    BYTE* base() { return region_.data(); }
    BYTE* twin() { return twin_.data(); }
    ZKSHMEM_LOOKUP* lookup() { return reinterpret_cast<ZKSHMEM_LOOKUP*>(lookup_.data()); }

    void add(DWORD offset, DWORD size, DWORD id) {
        Block b{offset, size, id, next_fill_++};
        if (next_fill_ == 0) next_fill_ = 1;
        std::memset(base() + offset, b.fill, size + 4);
        if (offset + size + 4 <= total_) std::memset(twin() + offset, b.fill, size + 4);
        blocks_.insert(blocks_.begin(), b);
    }
    Block& pick(BYTE sel) { return blocks_[sel % blocks_.size()]; }
    Block take(BYTE sel) {
        const size_t k = sel % blocks_.size();
        Block b = blocks_[k];
        blocks_.erase(blocks_.begin() + long(k));
        return b;
    }
    const Block* newest(DWORD id) const {
        for (const Block& b : blocks_)
            if (b.id == id) return &b;
        return nullptr;
    }
    bool in_use(DWORD offset) const {
        for (const Block& b : blocks_)
            if (b.offset == offset) return true;
        return false;
    }

    static void probe(void* self, DWORD event) { static_cast<Run*>(self)->moment(event); }
    static void twin_probe(void* self, DWORD event) { static_cast<Run*>(self)->twin_moment(event); }

    // The twin is killed at the same moment, with its index as it then was.
    void twin_moment(DWORD event) {
        if (event == ZKSHMEM_PROBE_COMMIT) {
            twin_committed_ = twin_;
        } else if (event == ZKSHMEM_PROBE_IN_FORCE && ++twin_moments_ == kill_at_) {
            twin_left_ = twin_;
            twin_left_journal_ = twin_journal_;
            twin_left_lookup_ = lookup_;
            twin_expected_ = twin_committed_;
        }
    }

    void verify_twin_kill() {
        if (twin_left_.empty()) return;
        const ZKSHMEM_UNDO undo{&twin_left_journal_, nullptr, nullptr};
        zkshmem_journal_rollback(&undo, twin_left_.data(), total_);
        if (twin_left_ != twin_expected_) fail("a kill of the twin was not rolled back", twin_left_.data(), total_);
        const ZKSHMEM_LOOKUP* left = reinterpret_cast<const ZKSHMEM_LOOKUP*>(twin_left_lookup_.data());
        if (zkshmem_lookup_usable(left, twin_left_.data(), total_) &&
            !zkshmem_lookup_agrees(left, twin_left_.data(), total_))
            fail("a kill left an index that counts as valid but is not", twin_left_.data(), total_);
    }

    void moment(DWORD event) {
        if (event == ZKSHMEM_PROBE_COMMIT) {
            committed_ = region_;
        } else if (event == ZKSHMEM_PROBE_IN_FORCE && ++moments_ == kill_at_) {
            left_ = region_;
            left_journal_ = journal_;
            expected_ = committed_;
        }
    }

    void verify_kill() {
        if (left_.empty()) return;
        const ZKSHMEM_UNDO undo{&left_journal_, nullptr, nullptr};
        zkshmem_journal_rollback(&undo, left_.data(), total_);
        if (left_ != expected_) fail("a kill was not rolled back to the last commit", left_.data(), total_);
        ZKSHMEM_CHECK check;
        if (zkshmem_check_region(left_.data(), total_, &check) != 0) fail("a rollback left damage", left_.data(), total_);
    }

    void verify() {
        ZKSHMEM_CHECK check;
        if (zkshmem_check_region(base(), total_, &check) != 0) fail("inconsistent", base(), total_);
        for (const Block& b : blocks_)
            for (DWORD i = 0; i < b.size + 4; ++i)
                if (region_[b.offset + i] != b.fill) fail("caller memory was overwritten", base(), total_);
    }

    DWORD total_ = 0;
    std::vector<BYTE> region_, before_;
    ZKSHMEM_JOURNAL journal_{};
    const ZKSHMEM_UNDO undo_{&journal_, probe, this};
    // The kill taken in the current operation, and what it must roll back to.
    DWORD kill_at_ = 0, moments_ = 0;
    std::vector<BYTE> committed_, left_, expected_;
    ZKSHMEM_JOURNAL left_journal_{};
    std::vector<Block> blocks_;
    BYTE next_fill_ = 1;
    // The twin with the lookup index, and its kill.
    std::vector<BYTE> twin_, twin_before_, lookup_;
    ZKSHMEM_JOURNAL twin_journal_{};
    const ZKSHMEM_UNDO twin_undo_{&twin_journal_, twin_probe, this};
    DWORD twin_moments_ = 0;
    std::vector<BYTE> twin_committed_, twin_left_, twin_expected_, twin_left_lookup_;
    ZKSHMEM_JOURNAL twin_left_journal_{};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // The regions here are small: without this the twin would walk too.
    g_zkshmem_lookup_min_entries = 0;
    const DWORD payload = 1 + (data[0] | data[1] << 8) % 4096;
    Run run(payload);
    for (size_t i = 2; i + 4 <= size; i += 4)
        run.step(data[i], data[i + 1], WORD(data[i + 2] | data[i + 3] << 8));
    return 0;
}
