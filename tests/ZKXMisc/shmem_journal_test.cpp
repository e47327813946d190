// The undo journal and the lookup index.  A kill at any write of a heap
// operation, and at any step of the rollback that follows it: the next
// owner finds the heap as the operation's start or its last commit left it,
// byte for byte.  The index gives the same results and bytes as the list
// walk, is rebuilt rather than trusted once anything but an indexed
// operation changed the region, and nothing a kill inside its update leaves
// behind counts as valid without being right.
#include "shmem_test_util.h"
#include "test_util.h"

using namespace zkx::test;

namespace {

// Every heap uses its index, however small.
struct AlwaysIndexed {
    AlwaysIndexed() : saved(g_zkshmem_lookup_min_entries) { g_zkshmem_lookup_min_entries = 0; }
    ~AlwaysIndexed() { g_zkshmem_lookup_min_entries = saved; }
    DWORD saved;
};

TEST(ShMemJournal, WorkloadsSurviveAKillAtAnyWriteWithAndWithoutTheIndex) {
    AlwaysIndexed indexed;
    const struct { DWORD payload; int steps; bool kill_rollbacks; } runs[] = {
        {600, 600, true}, {3000, 600, true}, {5000, 3000, false}, {40000, 3000, false}};
    for (const auto& run : runs) {
        Harness h(run.payload, run.kill_rollbacks);
        const Workload w{run.payload, run.steps, 0, true, [&] { return h.verdict(); }};
        EXPECT_EQ(run_workload(h, w), "") << run.payload;
        EXPECT_GT(h.walked.kills, 4u * run.steps) << run.payload;
        EXPECT_LE(std::max(h.walked.most_writes, h.indexed.most_writes), ZKSHMEM_JOURNAL_STEP_MAX);
        EXPECT_GE(h.indexed.index()->dwRebuilds, 1u);
    }
}

// The longest chain of spare slots the region can hold goes back to the top
// block in one free, one committed step per slot.
TEST(ShMemJournal, LongestGiveBackCascadeStaysWithinTheJournal) {
    Harness h(4096);
    PlainRegion& r = h.walked.region;
    const Bytes first_layout = r.state();
    // Blocks of 8 bytes (and their entries, 24 bytes each) until 48 bytes
    // are left: entries 2 to m + 1 in address order, m + 1 in the lowest
    // slot, the free top block above them with entry 1.
    std::vector<DWORD> blocks(r.u32(24) / 24 - 2);
    for (DWORD& b : blocks) ASSERT_EQ(h.alloc(0, 1, &b), 0u);
    // Freed from the bottom up, each block merges with the one below and
    // that one's entry goes spare: entries 2 to m - 1 end on the spare list.
    for (size_t i = 0; i + 1 < blocks.size(); ++i) ASSERT_EQ(h.free(blocks[i]), 0u);
    const DWORD entries = (r.total() - r.u32(16)) / 16;
    ASSERT_EQ(entries, blocks.size() + 1);

    h.walked.commits = h.walked.most_writes = 0;
    ASSERT_EQ(h.free(blocks.back()), 0u);
    EXPECT_EQ(h.verdict(), "");
    // Entries m + 1 and m go back with the free itself, then one step per
    // spare slot, and the final commit.
    EXPECT_EQ(h.walked.commits, entries - 2);
    EXPECT_LE(h.walked.most_writes, ZKSHMEM_JOURNAL_STEP_MAX);
    EXPECT_EQ(r.state(), first_layout);
}

// The journal itself may hold anything after a crash of its writer: a
// rollback stays inside the region.
TEST(ShMemJournal, RollbackSkipsRecordsOutsideTheRegion) {
    PlainRegion r(100);
    const Bytes before = r.bytes;
    ZKSHMEM_JOURNAL journal{};
    journal.dwCount = 0xFFFFFFFF;
    const DWORD total = r.total();
    const ZKSHMEM_UNDO_RECORD bad[] = {{total - 3, 4, {1, 2, 3, 4}}, {0xFFFFFFFE, 4, {}}, {0, 0, {}},
                                       {0, 9, {}}, {total - 1, 0xFFFFFFFF, {}}};
    for (size_t i = 0; i < ZKSHMEM_JOURNAL_RECORDS; ++i) journal.aRecord[i] = bad[i % 5];
    const ZKSHMEM_UNDO undo{&journal, nullptr, nullptr};
    zkshmem_journal_rollback(&undo, r.base(), total);
    EXPECT_EQ(r.bytes, before);
    EXPECT_EQ(journal.dwCount, 0u);
}

TEST(ShMemLookup, AnIndexThatMissedAChangeIsRebuiltNotTrusted) {
    AlwaysIndexed indexed;
    Harness h(20000);
    ZKSHMEM_LOOKUP* ix = h.indexed.index();
    BYTE* twin = h.indexed.region.base();
    const DWORD total = h.total();
    DWORD a = 0, b = 0, c = 0, found = 0;
    ASSERT_TRUE(h.alloc(100, 7, &a) == 0 && h.alloc(100, 8, &b) == 0);
    const DWORD built = ix->dwRebuilds;
    // Written without the index, as a writer that does not keep it would:
    // the region header changes, so the index no longer counts as valid.
    ASSERT_EQ(zkshmem_alloc(twin, total, 100, 9, &c), 0u);
    EXPECT_FALSE(zkshmem_lookup_usable(ix, twin, total));
    ASSERT_EQ(zkshmem_find(twin, total, 9, &found, ix, false), 0u);
    EXPECT_EQ(found, c);
    EXPECT_EQ(ix->dwRebuilds, built) << "a reader must not rebuild";
    ASSERT_EQ(zkshmem_find(twin, total, 9, &found, ix, true), 0u);
    EXPECT_EQ(ix->dwRebuilds, built + 1);
    EXPECT_TRUE(zkshmem_lookup_agrees(ix, twin, total));
    // Declared stale (an abandoned mutex, a rollback): the next writer
    // rebuilds it.
    zkshmem_lookup_invalidate(ix);
    ASSERT_EQ(zkshmem_change_id(twin, total, a, 8, nullptr, ix), 0u);
    EXPECT_EQ(ix->dwRebuilds, built + 2);
    ASSERT_EQ(zkshmem_find(twin, total, 8, &found, ix, false), 0u);
    EXPECT_EQ(found, b);
    // A heap below the size where the index pays is walked, and its index
    // left invalid: a change of identifier moves no header byte.
    // The newest block now carries 8, where the index would still name b.
    g_zkshmem_lookup_min_entries = 1000;
    ASSERT_EQ(zkshmem_change_id(twin, total, c, 8, nullptr, ix), 0u);
    g_zkshmem_lookup_min_entries = 0;
    ASSERT_EQ(zkshmem_find(twin, total, 8, &found, ix, false), 0u);
    EXPECT_EQ(found, c);
}

}  // namespace
