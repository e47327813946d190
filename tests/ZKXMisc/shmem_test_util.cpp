#include "shmem_test_util.h"

#include <algorithm>
#include <random>

namespace zkx::test {

std::string check_text(const BYTE* base, DWORD total) {
    ZKSHMEM_CHECK check;
    const DWORD r = zkshmem_check_region(base, total, &check);
    return r == 0 ? "" : "check " + std::to_string(r) + ": " + check.szText;
}

PlainRegion::PlainRegion(DWORD payload) {
    DWORD total = 0;
    zkshmem_region_size(payload, &total);
    bytes.assign(total, 0);
    zkshmem_layout(base(), total);
}

namespace {

struct Block {
    DWORD offset, size, id;
    BYTE fill;
};

// The next owner's rollback of what a kill left; given what it must give, it
// is killed at each of its steps, and rolling back again must give that.
struct Rollback {
    Bytes bytes;
    ZKSHMEM_JOURNAL journal;
    const Bytes* expected;
    bool halfway_failed = false;
    void run() {
        const ZKSHMEM_UNDO undo{&journal, expected ? step : nullptr, this};
        zkshmem_journal_rollback(&undo, bytes.data(), DWORD(bytes.size()));
    }
    static void step(void* self, DWORD) {
        Rollback* r = static_cast<Rollback*>(self);
        Rollback again{r->bytes, r->journal, nullptr};
        again.run();
        r->halfway_failed |= again.bytes != *r->expected;
    }
};

void on_probe(void* self, DWORD event) {
    Harness& h = *static_cast<Harness*>(self);
    if (event == ZKSHMEM_PROBE_COMMIT) {
        h.committed = h.twin.bytes;
        return;
    }
    // Once after each record, and once more before the commit.
    h.most_writes = std::max(h.most_writes, h.journal.dwCount);
    if (++h.moments % h.kill_stride != 0 || !h.fault.empty()) return;
    ++h.kills;
    Rollback left{h.twin.bytes, h.journal, h.kill_rollbacks ? &h.committed : nullptr};
    left.run();
    const std::string at = "kill " + std::to_string(h.kills) + ": ", text = check_text(left.bytes.data(), h.total());
    if (left.bytes != h.committed || left.halfway_failed)
        h.fault = at + "not rolled back to the last commit, or not by a rollback after one killed halfway";
    else if (left.journal.dwCount != 0)
        h.fault = at + "the rollback left records in force";
    else if (!text.empty())
        h.fault = at + text;
    else if (!index_trustworthy(h.index(), left.bytes.data(), h.total()))
        h.fault = at + "an index that counts as valid is wrong";
}

}  // namespace

Harness::Harness(DWORD payload, bool kill_rollbacks)
    : walked(payload), twin(payload), lookup(zkshmem_lookup_size(twin.total())), undo{&journal, on_probe, this},
      kill_rollbacks(kill_rollbacks), committed(twin.bytes) {}

DWORD Harness::same(DWORD r, DWORD r2, DWORD offset, const DWORD& offset2) {
    if (!fault.empty()) return r;
    if (r != r2 || (r == 0 && offset != offset2))
        fault = "the index gave " + std::to_string(r2) + " at " + std::to_string(offset2) + ", the walk " +
                std::to_string(r) + " at " + std::to_string(offset);
    else if (walked.bytes != twin.bytes)
        fault = "the index left other bytes than the walk";
    else if (!index_trustworthy(index(), twin.base(), total()))
        fault = "the index disagrees with the lists";
    else if (journal.dwCount != 0)
        fault = "the operation left records in force";
    return r;
}

std::string run_workload(HeapOps& ops, const Workload& w) {
    std::mt19937 rng(w.seed);
    auto pick = [&](size_t n) { return w.pick ? w.pick(DWORD(n)) : DWORD(rng() % n); };
    BYTE* const base = ops.base();
    const DWORD total = ops.total();
    std::vector<Block> blocks;  // most recent first, as the used list
    std::vector<DWORD> freed;
    Bytes before;
    BYTE fill = 0;
    auto live = [&](DWORD offset) {
        return std::find_if(blocks.begin(), blocks.end(), [&](const Block& b) { return b.offset == offset; });
    };
    auto unchanged = [&] { return !w.private_region || std::memcmp(before.data(), base, total) == 0; };

    for (int i = 0; i < w.steps && (!w.more || w.more()); ++i) {
        const std::string at = "step " + std::to_string(i) + ": ";
        if (w.private_region) before.assign(base, base + total);
        const DWORD roll = pick(100), id = w.id_base + pick(64);
        DWORD offset = 0, r;
        if (roll < 35 || blocks.empty()) {
            const DWORD size = pick(8) ? pick(64) : pick(total / 8);
            r = ops.alloc(size, id, &offset);
            if (r == 0) {
                fill = BYTE(fill % 251 + 1);
                ops.fill(offset, size + 4, fill);  // 4 bytes more are the caller's
                blocks.insert(blocks.begin(), Block{offset, size, id, fill});
            } else if (r != ERROR_NOT_ENOUGH_MEMORY || !unchanged()) {
                return at + "alloc gave " + std::to_string(r) + (unchanged() ? "" : " and changed the region");
            }
        } else if (roll < 60) {
            Block& b = blocks[pick(blocks.size())];
            if ((r = ops.free(b.offset)) != 0) return at + "free gave " + std::to_string(r);
            freed.push_back(b.offset);
            blocks.erase(live(b.offset));
        } else if (roll < 75) {
            r = ops.find(id, &offset);
            auto b = std::find_if(blocks.begin(), blocks.end(), [&](const Block& x) { return x.id == id; });
            if (b == blocks.end() ? r != ERROR_SERVICE_NOT_FOUND : r != 0 || offset != b->offset)
                return at + "find " + std::to_string(id) + " gave " + std::to_string(r);
        } else if (roll < 85) {
            Block& b = blocks[pick(blocks.size())];
            if ((r = ops.change_id(b.offset, id)) != 0) return at + "change id gave " + std::to_string(r);
            b.id = id;
        } else if (roll >= 98) {
            ops.disturb();
        } else {
            // Inside a block, the header, the index table; where nobody else
            // allocates also freed blocks and anywhere at all.
            const Block& b = blocks[pick(blocks.size())];
            const DWORD places[] = {b.offset + 1 + pick(b.size + 6), pick(30), total - pick(16),
                                    freed.empty() ? 0 : freed[pick(freed.size())], pick(total + 1)};
            offset = places[pick(w.private_region ? 5 : 3)];
            if (live(offset) != blocks.end()) continue;
            r = pick(2) ? ops.free(offset) : ops.change_id(offset, id);
            if (r != ERROR_INVALID_PARAMETER || !unchanged())
                return at + "bad address " + std::to_string(offset) + " gave " + std::to_string(r);
        }
        for (const Block& b : blocks)
            if (DWORD(std::count(base + b.offset, base + b.offset + b.size + 4, b.fill)) != b.size + 4)
                return at + "the heap wrote into caller memory";
        if (const std::string fault = w.check ? w.check() : ""; !fault.empty()) return at + fault;
    }
    for (const Block& b : blocks)
        if (DWORD r = ops.free(b.offset)) return "final free gave " + std::to_string(r);
    return w.check ? w.check() : "";
}

}  // namespace zkx::test
