// The heap's lookup index: the same results and bytes as the list walk, an
// index that is rebuilt rather than trusted once anything but an indexed
// operation changed the region, and nothing a kill inside an index update
// leaves behind that counts as valid without being right.
#include <gtest/gtest.h>

#include <random>

#include "ZKShMemJournal.h"
#include "ZKShMemLookup.h"
#include "ZKShMemPriv.h"
#include "shmem_test_util.h"

using zkx::test::PlainRegion;

namespace {

using Bytes = std::vector<BYTE>;

// Every heap uses its index, however small.
struct AlwaysIndexed {
    AlwaysIndexed() : saved(g_zkshmem_lookup_min_entries) { g_zkshmem_lookup_min_entries = 0; }
    ~AlwaysIndexed() { g_zkshmem_lookup_min_entries = saved; }
    DWORD saved;
};

// Each operation on a walked region and on an indexed twin; the workload
// sees the walked one, and any difference is a fault.
struct Twins : zkx::test::HeapOps {
    explicit Twins(DWORD payload) : walked(payload), indexed(payload), lookup(zkshmem_lookup_size(walked.total())) {}
    ZKSHMEM_LOOKUP* index() { return reinterpret_cast<ZKSHMEM_LOOKUP*>(lookup.data()); }

    DWORD same(DWORD r, DWORD r2, DWORD* offset, DWORD offset2) {
        if (r != r2 || (r == 0 && offset && *offset != offset2)) fault = "another result";
        // The workload writes caller memory in the walked region only: the
        // heaps are compared without it.
        else if (zkx::test::heap_state(walked.base(), walked.total()) != zkx::test::heap_state(indexed.base(), indexed.total()))
            fault = "another heap";
        else if (zkshmem_lookup_usable(index(), indexed.base(), indexed.total()) &&
                 !zkshmem_lookup_agrees(index(), indexed.base(), indexed.total()))
            fault = "an index that disagrees with the lists";
        return r;
    }
    DWORD alloc(DWORD size, DWORD id, DWORD* offset) override {
        DWORD o2 = 0;
        const DWORD r2 = zkshmem_alloc(indexed.base(), indexed.total(), size, id, &o2, nullptr, index());
        return same(walked.alloc(size, id, offset), r2, offset, o2);
    }
    DWORD free(DWORD offset) override {
        const DWORD r2 = zkshmem_free(indexed.base(), indexed.total(), offset, nullptr, index());
        return same(walked.free(offset), r2, nullptr, 0);
    }
    DWORD find(DWORD id, DWORD* offset) override {
        DWORD o2 = 0;
        const DWORD r2 = zkshmem_find(indexed.base(), indexed.total(), id, &o2, index(), ++finds % 2 == 0);
        return same(walked.find(id, offset), r2, offset, o2);
    }
    DWORD change_id(DWORD offset, DWORD id) override {
        const DWORD r2 = zkshmem_change_id(indexed.base(), indexed.total(), offset, id, nullptr, index());
        return same(walked.change_id(offset, id), r2, nullptr, 0);
    }

    PlainRegion walked, indexed;
    Bytes lookup;
    std::string fault;
    unsigned finds = 0;
};

TEST(ShMemLookup, WorkloadsGiveTheWalksResultsAndHeap) {
    AlwaysIndexed indexed;
    for (DWORD payload : {600u, 5000u, 40000u}) {
        Twins t(payload);
        zkx::test::Workload w;
        w.seed = payload;
        w.steps = 3000;
        w.check = [&] { return t.fault; };
        EXPECT_EQ(zkx::test::run_workload(t, t.walked.base(), t.walked.total(), w), "") << payload;
        EXPECT_GE(t.index()->dwRebuilds, 1u);
    }
}

TEST(ShMemLookup, AnIndexThatMissedAChangeIsRebuiltNotTrusted) {
    AlwaysIndexed indexed;
    Twins t(20000);
    ZKSHMEM_LOOKUP* ix = t.index();
    DWORD a = 0, b = 0, c = 0, found = 0;
    ASSERT_EQ(t.alloc(100, 7, &a), 0u);
    ASSERT_EQ(t.alloc(100, 8, &b), 0u);
    const DWORD built = ix->dwRebuilds;
    // Written without the index, as a writer that does not keep it would:
    // the region header changes, so the index no longer counts as valid.
    ASSERT_EQ(zkshmem_alloc(t.indexed.base(), t.indexed.total(), 100, 9, &c), 0u);
    EXPECT_FALSE(zkshmem_lookup_usable(ix, t.indexed.base(), t.indexed.total()));
    ASSERT_EQ(zkshmem_find(t.indexed.base(), t.indexed.total(), 9, &found, ix, false), 0u);
    EXPECT_EQ(found, c);
    EXPECT_EQ(ix->dwRebuilds, built) << "a reader must not rebuild";
    ASSERT_EQ(zkshmem_find(t.indexed.base(), t.indexed.total(), 9, &found, ix, true), 0u);
    EXPECT_EQ(ix->dwRebuilds, built + 1);
    EXPECT_TRUE(zkshmem_lookup_agrees(ix, t.indexed.base(), t.indexed.total()));
    // Declared stale (an abandoned mutex, a rollback): the next writer
    // rebuilds it.
    zkshmem_lookup_invalidate(ix);
    ASSERT_EQ(zkshmem_change_id(t.indexed.base(), t.indexed.total(), a, 8, nullptr, ix), 0u);
    EXPECT_EQ(ix->dwRebuilds, built + 2);
    ASSERT_EQ(zkshmem_find(t.indexed.base(), t.indexed.total(), 8, &found, ix, false), 0u);
    EXPECT_EQ(found, b);
    // A heap below the size where the index pays is walked, and its index
    // left invalid: a change of identifier moves no header byte.
    // The newest block now carries 8, where the index would still name b.
    g_zkshmem_lookup_min_entries = 1000;
    ASSERT_EQ(zkshmem_change_id(t.indexed.base(), t.indexed.total(), c, 8, nullptr, ix), 0u);
    g_zkshmem_lookup_min_entries = 0;
    ASSERT_EQ(zkshmem_find(t.indexed.base(), t.indexed.total(), 8, &found, ix, false), 0u);
    EXPECT_EQ(found, c);
}

// A kill at every moment with journal records in force, in allocations and
// frees that split, merge and give slots back: once the journal is rolled
// back, the index as the kill left it either does not count as valid or
// says exactly what the restored region says.
TEST(ShMemLookup, KillInsideAnIndexUpdateLeavesNothingTrustedWrongly) {
    AlwaysIndexed indexed;
    struct Kills {
        PlainRegion region{3000};
        Bytes lookup = Bytes(zkshmem_lookup_size(region.total()));
        ZKSHMEM_JOURNAL journal{};
        ZKSHMEM_UNDO undo{&journal, probe, this};
        DWORD kills = 0, trusted = 0;
        std::string fault;
        ZKSHMEM_LOOKUP* index() { return reinterpret_cast<ZKSHMEM_LOOKUP*>(lookup.data()); }
        static void probe(void* self, DWORD event) {
            if (event == ZKSHMEM_PROBE_IN_FORCE) static_cast<Kills*>(self)->kill();
        }
        void kill() {
            ++kills;
            Bytes left = region.bytes, left_index = lookup;
            ZKSHMEM_JOURNAL j = journal;
            const ZKSHMEM_UNDO u{&j, nullptr, nullptr};
            zkshmem_journal_rollback(&u, left.data(), region.total());
            const auto* ix = reinterpret_cast<const ZKSHMEM_LOOKUP*>(left_index.data());
            if (!zkshmem_lookup_usable(ix, left.data(), region.total())) return;
            ++trusted;
            if (!zkshmem_lookup_agrees(ix, left.data(), region.total())) fault = "kill " + std::to_string(kills);
        }
    } k;
    std::mt19937 rng(5);
    std::vector<DWORD> live;
    for (int step = 0; step < 600 && k.fault.empty(); ++step) {
        DWORD offset;
        if (live.size() < 40 && rng() % 3 != 0) {
            if (zkshmem_alloc(k.region.base(), k.region.total(), rng() % 60, rng() % 4, &offset, &k.undo, k.index()) == 0)
                live.push_back(offset);
        } else if (!live.empty()) {
            const size_t i = rng() % live.size();
            ASSERT_EQ(zkshmem_free(k.region.base(), k.region.total(), live[i], &k.undo, k.index()), 0u);
            live.erase(live.begin() + long(i));
        }
    }
    EXPECT_EQ(k.fault, "");
    EXPECT_GT(k.kills, 1000u);
}

}  // namespace
