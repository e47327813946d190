// The heap on a plain buffer: the region format byte for byte, first fit,
// merging, the index table growing and shrinking, and random workloads.
// With the undo journal, a kill at any write of a heap operation, and at any
// step of the rollback that follows it: the next owner finds the heap as the
// operation's start or its last commit left it, byte for byte.  The lookup
// index gives the same results and bytes as the list walk, is rebuilt rather
// than trusted once anything but an indexed operation changed the region,
// and nothing a kill inside its update leaves behind counts as valid
// without being right.
#include <algorithm>

#include "shmem_test_util.h"
#include "test_util.h"

using namespace zkx::test;

namespace {

Bytes at(PlainRegion& r, DWORD offset, DWORD n) { return Bytes(r.base() + offset, r.base() + offset + n); }
// All succeeded; a braced list runs the calls in order.
bool ok(std::initializer_list<DWORD> results) {
    return std::all_of(results.begin(), results.end(), [](DWORD r) { return r == 0; });
}

TEST(ShMemFormat, Size1000LayoutAllocAndFreeByteForByte) {
    PlainRegion r(1000);
    ASSERT_EQ(r.total(), 1796u);
    EXPECT_EQ(at(r, 0, 28), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x1C, 0, 0, 0,
                                   0xF4, 0x06, 0, 0, 0x2C, 0, 0, 0, 0xD8, 0x06, 0, 0}));
    EXPECT_EQ(at(r, 1780, 16), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x1C, 0, 0, 0, 0xD8, 0x06, 0, 0, 0xFF, 0xFF, 0xFF,
                                      0xFF}));
    EXPECT_TRUE(r.u16(28) == 1 && r.u16(1778) == 1) << "the free block's tags";
    EXPECT_TRUE(std::all_of(r.base() + 30, r.base() + 1778, [](BYTE b) { return b == 0; })) << "nothing else";
    const Bytes first_layout = r.state();

    DWORD offset = 0;
    ASSERT_EQ(r.alloc(100, 5, &offset), 0u);
    EXPECT_EQ(offset, 30u);
    EXPECT_EQ(at(r, 0, 28), (Bytes{2, 0, 2, 0, 1, 0, 1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x88, 0, 0, 0, 0xE4, 0x06, 0, 0,
                                   0xA8, 0, 0, 0, 0x5C, 0x06, 0, 0}));
    // Entry 2 at 1764: id 5, block 28, size 108; entry 1: the free block at
    // 136 of 1628 bytes.
    EXPECT_EQ(at(r, 1764, 32), (Bytes{5, 0, 0, 0, 0x1C, 0, 0, 0, 0x6C, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                      0xFF, 0xFF, 0x88, 0, 0, 0, 0x5C, 0x06, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
    for (auto [where, tag] : {std::pair<DWORD, WORD>{28, 2}, {134, 2}, {136, 1}, {1762, 1}})
        EXPECT_EQ(r.u16(where), tag) << "tag at " << where;
    EXPECT_EQ(r.check(), "");
    ASSERT_EQ(r.free(offset), 0u);
    EXPECT_EQ(r.state(), first_layout);
}

TEST(ShMemFormat, RegionSizesAndTheFirstBlocksLimits) {
    DWORD total = 0;
    for (auto [size, expected] : {std::pair<DWORD, DWORD>{1, 53}, {32, 84}, {33, 109}, {4096, 7196},
                                  {2454267008u, 4294967292u}}) {
        ASSERT_EQ(zkshmem_region_size(size, &total), 0u);
        EXPECT_EQ(total, expected);
    }
    for (DWORD size : {0u, 2454267009u, 0xFFFFFFE1u, 0xFFFFFFFFu})
        EXPECT_EQ(zkshmem_region_size(size, &total), DWORD(ERROR_INVALID_PARAMETER)) << size;

    // 1744 bytes take the free block whole; 1724 to 1743 do not fit; 1723
    // leave 5 bytes, and a new entry.  A refusal changes nothing.
    const struct { DWORD size, result, free_left, bottom; } fits[] = {
        {1723, 0, 5, 1764}, {1724, ERROR_NOT_ENOUGH_MEMORY, 1752, 1780},
        {1743, ERROR_NOT_ENOUGH_MEMORY, 1752, 1780}, {1744, 0, 0, 1780}};
    for (const auto& f : fits) {
        PlainRegion r(1000);
        DWORD offset = 0;
        EXPECT_EQ(r.alloc(f.size, 1, &offset), f.result) << f.size;
        EXPECT_TRUE(r.u32(24) == f.free_left && r.u32(16) == f.bottom) << f.size;
        EXPECT_EQ(r.check(), "") << f.size;
    }
    PlainRegion r(1000);
    DWORD offset = 0;
    EXPECT_EQ(r.alloc(0xFFFFFFF8u, 1, &offset), DWORD(ERROR_NOT_ENOUGH_MEMORY));
}

// The lowest entry falls out of use while the top block is in use: a spare
// entry takes its slot as a free block of 16 bytes.
TEST(ShMemHeap, SlotAboveATopBlockInUseBecomesAFreeBlock) {
    PlainRegion r(1000);
    DWORD a1, a2, b, c;
    ASSERT_TRUE(ok({r.alloc(10, 1, &a1), r.alloc(10, 2, &a2), r.free(a1)}));  // entries 2 at 28, 3 at 46
    ASSERT_EQ(r.alloc(2, 3, &b), 0u);     // entry 4, cut from entry 2's block
    ASSERT_EQ(r.alloc(1660, 4, &c), 0u);  // the top block whole
    ASSERT_EQ(r.free(a2), 0u);            // merges down: entry 2 spare
    EXPECT_TRUE(b == 30 && c == 66);
    ASSERT_EQ(r.free(b), 0u);
    const DWORD e2 = r.entry(2);
    EXPECT_EQ(r.u32(16), 1748u);
    EXPECT_TRUE(r.u32(e2) == ZKSHMEM_FREE_ID && r.u32(e2 + 4) == 1732 && r.u32(e2 + 8) == 16);
    EXPECT_TRUE(r.u16(1732) == 2 && r.u16(1746) == 2 && r.u16(4) == 2 && r.u16(8) == 0xFFFF);
    EXPECT_TRUE(r.u32(24) == 52 && r.u32(12) == 1732);
    EXPECT_EQ(r.check(), "");
    ASSERT_EQ(r.free(c), 0u);
    EXPECT_TRUE(r.u32(16) == 1764 && r.u32(12) == 28 && r.u32(24) == 1736 && r.u16(8) == 1);
    EXPECT_EQ(r.check(), "");
}

TEST(ShMemHeap, IndexTableStopsAt65534Entries) {
    PlainRegion r(65534 * 32);
    DWORD offset = 0, count = 0, result;
    while ((result = r.alloc(0, count, &offset)) == 0) ++count;
    EXPECT_EQ(result, DWORD(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(count, 65533u) << "entry 1 still describes the free rest";
    EXPECT_EQ(r.u32(16), r.total() - 16u * 65534);
    EXPECT_EQ(r.check(), "");
    ASSERT_TRUE(ok({r.find(77, &offset), r.free(offset)}));
    EXPECT_EQ(r.alloc(0, 1, &offset), 0u);
}

// Every heap uses its index, however small.
struct AlwaysIndexed {
    AlwaysIndexed() : saved(g_zkshmem_lookup_min_entries) { g_zkshmem_lookup_min_entries = 0; }
    ~AlwaysIndexed() { g_zkshmem_lookup_min_entries = saved; }
    DWORD saved;
};

// Whatever the order of allocations, frees and id changes, the latest block
// with an id is found; with the journal, a kill at any write is rolled back;
// the index changes no result.
TEST(ShMemHeap, RandomWorkloadsMatchTheModelAndSurviveAKillAtAnyWrite) {
    AlwaysIndexed indexed;
    // Small regions fill up, large ones build long lists.
    const struct { DWORD payload; int steps; bool kill_rollbacks; } runs[] = {
        {600, 600, true}, {3000, 600, true}, {5000, 3000, false}, {40000, 3000, false}};
    for (const auto& run : runs) {
        Harness h(run.payload, run.kill_rollbacks);
        EXPECT_EQ(run_workload(h, Workload{run.payload, run.steps, 0, true, [&] { return h.verdict(); }}), "")
            << run.payload;
        EXPECT_GT(h.kills, 4u * run.steps) << run.payload;
        EXPECT_LE(h.most_writes, ZKSHMEM_JOURNAL_STEP_MAX);
        EXPECT_GE(h.index()->dwRebuilds, 1u);
    }
}

// The longest chain of spare slots the region can hold goes back to the top
// block in one free, one committed step per slot.
TEST(ShMemJournal, LongestGiveBackCascadeStaysWithinTheJournal) {
    Harness h(4096);
    PlainRegion& r = h.walked;
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

    h.commits = h.most_writes = 0;
    ASSERT_EQ(h.free(blocks.back()), 0u);
    EXPECT_EQ(h.verdict(), "");
    // Entries m + 1 and m go back with the free itself, then one step per
    // spare slot, and the final commit.
    EXPECT_EQ(h.commits, entries - 2);
    EXPECT_LE(h.most_writes, ZKSHMEM_JOURNAL_STEP_MAX);
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
    ZKSHMEM_LOOKUP* ix = h.index();
    BYTE* twin = h.twin.base();
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
