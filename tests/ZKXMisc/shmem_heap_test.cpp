// The heap on a plain buffer: the format, its limits, random workloads killed
// at any write (see Harness), and the checker and repair on a damaged heap.
#include <algorithm>
#include <random>

#include "ZKShMemRepair.h"
#include "shmem_test_util.h"
#include "test_util.h"

using namespace zkx::test;

namespace {

TEST(ShMemFormat, LayoutRegionSizesAndLimits) {
    PlainRegion r(1000);
    ASSERT_EQ(r.total(), 1796u);
    EXPECT_EQ(Bytes(r.base(), r.base() + 28), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x1C,
                                                     0, 0, 0, 0xF4, 0x06, 0, 0, 0x2C, 0, 0, 0, 0xD8, 0x06, 0, 0}));
    EXPECT_EQ(Bytes(r.base() + 1780, r.base() + 1796),
              (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x1C, 0, 0, 0, 0xD8, 0x06, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_TRUE(r.u16(28) == 1 && r.u16(1778) == 1) << "the free block's tags";
    DWORD offset = 0, total = 0;
    EXPECT_TRUE(r.alloc(100, 5, &offset) == 0 && offset == 30);
    for (auto [size, expected] : {std::pair<DWORD, DWORD>{1, 53}, {32, 84}, {33, 109}, {2454267008u, 4294967292u}})
        EXPECT_TRUE(zkshmem_region_size(size, &total) == 0 && total == expected) << size;
    for (DWORD size : {0u, 2454267009u, 0xFFFFFFE1u, 0xFFFFFFFFu})
        EXPECT_EQ(zkshmem_region_size(size, &total), DWORD(ERROR_INVALID_PARAMETER)) << size;
    // 1744 bytes take the free block whole; 1724 to 1743 (or a size that
    // overflows) do not fit; 1723 leave 5 bytes, and a new entry.
    const struct { DWORD size, result, free_left, bottom; } fits[] = {
        {1723, 0, 5, 1764}, {1724, ERROR_NOT_ENOUGH_MEMORY, 1752, 1780}, {1743, ERROR_NOT_ENOUGH_MEMORY, 1752, 1780},
        {1744, 0, 0, 1780}, {0xFFFFFFF8u, ERROR_NOT_ENOUGH_MEMORY, 1752, 1780}};
    for (const auto& f : fits) {
        PlainRegion fresh(1000);
        EXPECT_EQ(fresh.alloc(f.size, 1, &offset), f.result) << f.size;
        EXPECT_TRUE(fresh.u32(24) == f.free_left && fresh.u32(16) == f.bottom && fresh.check().empty()) << f.size;
    }
    // The index table stops at 65534 entries.
    PlainRegion big(65534 * 32);
    DWORD count = 0, result;
    while ((result = big.alloc(0, count, &offset)) == 0) ++count;
    EXPECT_EQ(result, DWORD(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(count, 65533u) << "entry 1 still describes the free rest";
    EXPECT_EQ(big.check(), "");
    ASSERT_TRUE(big.find(77, &offset) == 0 && big.free(offset) == 0);
    EXPECT_EQ(big.alloc(0, 1, &offset), 0u);
}

// Whatever the order of operations, the latest block with an id is found, a
// kill at any write is rolled back, and the index changes no result.  Small
// regions fill up, large ones build long lists.
TEST(ShMemHeap, RandomWorkloadsMatchTheModelAndSurviveAKillAtAnyWrite) {
    g_zkshmem_lookup_min_entries = 0;  // every heap uses its index, however small
    const struct { DWORD payload; int steps; bool kill_rollbacks; } runs[] = {
        {600, 600, true}, {3000, 600, true}, {5000, 3000, false}, {40000, 3000, false}};
    for (const auto& run : runs) {
        Harness h(run.payload, run.kill_rollbacks);
        EXPECT_EQ(run_workload(h, Workload{run.payload, run.steps, 0, true, [&] { return h.verdict(); }}), "")
            << run.payload;
        EXPECT_GT(h.kills, 4u * run.steps) << run.payload;
        EXPECT_LE(h.most_writes, ZKSHMEM_JOURNAL_STEP_MAX);
    }
}

// The longest chain of spare slots the region can hold goes back to the top
// block in one free, within the journal.
TEST(ShMemJournal, LongestGiveBackCascadeAndAnyRecordsStayWithinJournalAndRegion) {
    Harness h(4096);
    PlainRegion& r = h.walked;
    // Blocks of 8 bytes (and their entries, 24 bytes each) until 48 bytes are
    // left, then freed from the bottom up: each merges with the one below,
    // whose entry goes spare, until every slot but two is spare.
    std::vector<DWORD> blocks(r.u32(24) / 24 - 2);
    for (DWORD& b : blocks) ASSERT_EQ(h.alloc(0, 1, &b), 0u);
    for (size_t i = 0; i + 1 < blocks.size(); ++i) ASSERT_EQ(h.free(blocks[i]), 0u);
    ASSERT_EQ((r.total() - r.u32(16)) / 16, blocks.size() + 1);
    ASSERT_EQ(h.free(blocks.back()), 0u);
    EXPECT_EQ(h.verdict(), "");
    EXPECT_LE(h.most_writes, ZKSHMEM_JOURNAL_STEP_MAX);
    std::fill(r.bytes.begin() + 30, r.bytes.begin() + r.u32(16) - 2, 0);  // stale bytes in the one free block
    EXPECT_TRUE(r.bytes == PlainRegion(4096).bytes);

    // The journal itself may hold anything after a crash of its writer: a
    // rollback stays inside the region.
    const DWORD total = r.total();
    const ZKSHMEM_UNDO_RECORD bad[] = {{total - 3, 4, {1, 2, 3, 4}}, {0xFFFFFFFE, 4, {}}, {0, 0, {}},
                                       {0, 9, {}}, {total - 1, 0xFFFFFFFF, {}}};
    for (size_t i = 0; i < ZKSHMEM_JOURNAL_RECORDS; ++i) h.journal.aRecord[i] = bad[i % 5];
    h.journal.dwCount = 0xFFFFFFFF;
    const ZKSHMEM_UNDO undo{&h.journal, nullptr, nullptr};
    zkshmem_journal_rollback(&undo, r.base(), total);
    EXPECT_TRUE(r.bytes == PlainRegion(4096).bytes && h.journal.dwCount == 0);
}

// Blocks a (in use, id 1, entry 2), b (free, entry 3), c (in use, id 1 too,
// entry 4), the free top block (entry 1).  Used list 4, 2; free list 3, 1.
struct Sample : PlainRegion {
    Sample() : PlainRegion(1000) {
        alloc(10, 1, &a);
        alloc(20, 2, &b);
        alloc(30, 1, &c);
        free(b);
        std::memcpy(base() + a, "block a", 8);
        std::memcpy(base() + c, "block c", 8);
    }
    void add32(DWORD at, DWORD delta) { set(at, u32(at) + delta); }
    template <class T = WORD> void sets(std::initializer_list<std::pair<DWORD, T>> writes) {
        for (auto [at, v] : writes) std::memcpy(base() + at, &v, sizeof v);
    }
    DWORD a = 0, b = 0, c = 0;
};

enum Repair { kRebuilt, kRefused };

TEST(ShMemCheck, NamesTheBrokenRuleAndRepairsOnlyWhatTheBlocksProveEvenAfterRandomDamage) {
    const struct { DWORD rule; Repair repair; void (*damage)(Sample&); } cases[] = {
        {ZKSHMEM_RULE_HEADER, kRefused, [](Sample& s) { s.add32(16, 1); }},  // index bottom off its grid
        {ZKSHMEM_RULE_HEADER, kRebuilt, [](Sample& s) { s.set<DWORD>(12, s.total() - 8); }},  // top in the table
        {ZKSHMEM_RULE_HEADER, kRebuilt, [](Sample& s) { s.set<WORD>(6, 0xFFFF); }},  // a list with one end
        {ZKSHMEM_RULE_LISTS, kRebuilt, [](Sample& s) { s.set<WORD>(s.entry(1) + 14, 2); }},  // wrong back link
        {ZKSHMEM_RULE_LISTS, kRebuilt, [](Sample& s) { s.sets({{0, 2}, {s.entry(2) + 14, 0xFFFF}}); }},  // 4 on none
        {ZKSHMEM_RULE_LISTS, kRebuilt, [](Sample& s) { s.set<WORD>(s.entry(2) + 12, 4); }},  // a loop
        {ZKSHMEM_RULE_LISTS, kRebuilt, [](Sample& s) { s.set<WORD>(s.entry(4) + 12, 0xFFFF); }},  // order in back links
        {ZKSHMEM_RULE_LISTS, kRefused, [](Sample& s) {  // the used order lost both ways
             s.sets({{s.entry(4) + 12, 0xFFFF}, {s.entry(2) + 14, 0xFFFF}});
         }},
        {ZKSHMEM_RULE_LISTS, kRefused, [](Sample& s) { s.set<DWORD>(s.entry(2), ZKSHMEM_FREE_ID); }},  // used, free id
        {ZKSHMEM_RULE_LISTS, kRefused, [](Sample& s) { s.set<DWORD>(s.entry(3), 7); }},  // free, id of a used one
        {ZKSHMEM_RULE_LISTS, kRebuilt, [](Sample& s) { std::memset(s.base(), 0xEE, 12); }},  // every list anchor
        {ZKSHMEM_RULE_BLOCKS, kRebuilt, [](Sample& s) { s.set<WORD>(s.a + 14, 0x4141); }},  // a's upper tag
        {ZKSHMEM_RULE_BLOCKS, kRefused, [](Sample& s) { s.sets({{s.a - 2, 9}, {s.a + 14, 9}}); }},  // a's tags
        {ZKSHMEM_RULE_BLOCKS, kRefused, [](Sample& s) { s.add32(s.entry(4) + 4, 1); }},  // entry off its block
        {ZKSHMEM_RULE_BLOCKS, kRefused, [](Sample& s) { s.add32(s.entry(2) + 8, 1); }},  // size one too many
        {ZKSHMEM_RULE_ADJACENT, kRefused, [](Sample& s) {  // a, made free consistently, touches free b
             s.sets({{0, 4}, {2, 4}, {s.entry(4) + 12, 0xFFFF}, {4, 2}, {s.entry(2) + 12, 3},
                     {s.entry(2) + 14, 0xFFFF}, {s.entry(3) + 14, 2}});
             s.set<DWORD>(s.entry(2), ZKSHMEM_FREE_ID);
         }},
        {ZKSHMEM_RULE_DATA_TOP, kRebuilt, [](Sample& s) { s.set<DWORD>(12, 28); }},
        {ZKSHMEM_RULE_COUNTERS, kRebuilt, [](Sample& s) { s.add32(24, 1); }},
        {ZKSHMEM_RULE_COUNTERS, kRebuilt, [](Sample& s) { s.add32(20, DWORD(-16)); }},
        // The oldest of three used blocks, no free one beside it, given the free
        // id with the used list's ends lost: still linked to, so not taken for free.
        {ZKSHMEM_RULE_LISTS, kRefused, [](Sample& s) {
             s.alloc(20, 2, &s.b);
             s.sets<DWORD>({{s.entry(2), ZKSHMEM_FREE_ID}, {0, 0xEEEEEEEE}});
         }},
    };
    ZKSHMEM_CHECK check;
    ZKSHMEM_REPAIR rep;
    for (size_t i = 0; i < std::size(cases); ++i) {
        Sample s;
        cases[i].damage(s);
        EXPECT_EQ(zkshmem_check_region(s.base(), s.total(), &check), DWORD(ERROR_FILE_CORRUPT)) << i;
        EXPECT_EQ(check.dwRule, cases[i].rule) << i << ": " << check.szText;
        const Bytes damaged = s.bytes;
        const bool rebuilt = cases[i].repair == kRebuilt;
        EXPECT_EQ(zkshmem_repair_region(s.base(), s.total(), &rep), rebuilt ? 0u : DWORD(ERROR_FILE_CORRUPT))
            << i << ": " << rep.szText;
        // This sample's bookkeeping follows from its blocks in full: a rebuild
        // gives every byte back, block contents and list order included.
        EXPECT_TRUE(s.bytes == (rebuilt ? Sample().bytes : damaged)) << i;
    }

    // Random stray writes over the bookkeeping and anywhere else: neither the
    // checker nor the repair touches a byte outside the region (ASan watches
    // the exact buffer) or loops for ever; the repair leaves a consistent heap
    // whose blocks in use kept their memory, or no change.
    std::minstd_rand rng(7);  // 32-bit results
    int repaired = 0, refused = 0;
    for (int round = 0; round < 3000; ++round) {
        Sample s;
        const DWORD total = s.total();
        const DWORD places[] = {0, 4, 12, 16, 20, 24, s.a - 2, s.a + 14, s.b - 2, s.c - 2, s.c + 34,
                                s.entry(1), s.entry(2), s.entry(3), s.entry(4)};
        for (int n = 1 + rng() % 3; n > 0; --n) {
            const DWORD at = rng() % 4 ? places[rng() % std::size(places)] + rng() % 16 : rng() % total;
            if (at < total) s.base()[at] = rng() % 3 ? BYTE(rng()) : 0xFF;
        }
        PlainRegion copy = s;
        const DWORD r = copy.check().empty() ? 1 : zkshmem_repair_region(copy.base(), total, &rep);
        refused += r == ERROR_FILE_CORRUPT;
        repaired += r == 0;
        ASSERT_TRUE(r != ERROR_FILE_CORRUPT || copy.bytes == s.bytes) << round;
        ASSERT_TRUE(r != 0 || copy.check().empty()) << round << ": " << copy.check();
        for (WORD k = copy.u16(0); r == 0 && k != ZKSHMEM_NO_ENTRY; k = copy.u16(copy.entry(k) + 12)) {
            const DWORD o = copy.u32(copy.entry(k) + 4), n = copy.u32(copy.entry(k) + 8);
            ASSERT_EQ(std::memcmp(copy.base() + o + 2, s.base() + o + 2, n - 4), 0) << round;
        }
    }
    EXPECT_GT(repaired, 100);
    EXPECT_GT(refused, 100);
}

}  // namespace
