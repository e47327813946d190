// The heap checker names the first broken rule; the heap operations on a
// damaged region stay inside it and report the damage.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "shmem_test_util.h"

using zkx::test::get16;
using zkx::test::get32;
using zkx::test::PlainRegion;
using zkx::test::put16;
using zkx::test::put32;

namespace {

// Blocks a (in use), b (free), c (in use) and the free top block, described
// by entries 2, 3, 4 and 1.  Used list 4, 2; free list 3, 1.
struct Sample {
    Sample() : region(1000) {
        region.alloc(10, 1, &a);
        region.alloc(20, 2, &b);
        region.alloc(30, 3, &c);
        region.free(b);
    }
    BYTE* base() { return region.base(); }
    DWORD entry(WORD k) const { return region.entry_offset(k); }
    PlainRegion region;
    DWORD a = 0, b = 0, c = 0;
};

struct Damage {
    const char* what;
    DWORD rule;
    std::function<void(Sample&)> apply;
};

TEST(ShMemCheck, NamesTheRuleThatIsBroken) {
    const Damage cases[] = {
        {"index bottom off its grid", ZKSHMEM_RULE_HEADER,
         [](Sample& s) { put32(s.base(), 16, get32(s.base(), 16) + 1); }},
        {"data top in the index table", ZKSHMEM_RULE_HEADER,
         [](Sample& s) { put32(s.base(), 12, s.region.total() - 8); }},
        {"free list with one end", ZKSHMEM_RULE_HEADER, [](Sample& s) { put16(s.base(), 6, 0xFFFF); }},
        {"list head outside the table", ZKSHMEM_RULE_LISTS, [](Sample& s) { put16(s.base(), 0, 99); }},
        {"wrong back link", ZKSHMEM_RULE_LISTS, [](Sample& s) { put16(s.base(), s.entry(1) + 14, 2); }},
        {"entry dropped from its list", ZKSHMEM_RULE_LISTS,
         [](Sample& s) {
             put16(s.base(), 0, 2);
             put16(s.base(), s.entry(2) + 14, 0xFFFF);
         }},
        {"list that loops", ZKSHMEM_RULE_LISTS, [](Sample& s) { put16(s.base(), s.entry(2) + 12, 4); }},
        {"used entry with the free mark", ZKSHMEM_RULE_LISTS,
         [](Sample& s) { put32(s.base(), s.entry(2), ZKSHMEM_FREE_ID); }},
        {"free entry without it", ZKSHMEM_RULE_LISTS, [](Sample& s) { put32(s.base(), s.entry(3), 7); }},
        {"upper tag overwritten", ZKSHMEM_RULE_BLOCKS,
         [](Sample& s) { put16(s.base(), s.a + 16, 0x4141); }},
        {"entry off its block", ZKSHMEM_RULE_BLOCKS,
         [](Sample& s) { put32(s.base(), s.entry(4) + 4, get32(s.base(), s.entry(4) + 4) + 1); }},
        {"block size one too many", ZKSHMEM_RULE_BLOCKS,
         [](Sample& s) { put32(s.base(), s.entry(2) + 8, get32(s.base(), s.entry(2) + 8) + 1); }},
        {"two free blocks touch", ZKSHMEM_RULE_ADJACENT,
         [](Sample& s) {
             // Block a moves from the used list to the head of the free list.
             BYTE* p = s.base();
             put16(p, 0, 4);
             put16(p, 2, 4);
             put16(p, s.entry(4) + 12, 0xFFFF);
             put16(p, 4, 2);
             put16(p, s.entry(2) + 12, 3);
             put16(p, s.entry(2) + 14, 0xFFFF);
             put16(p, s.entry(3) + 14, 2);
             put32(p, s.entry(2), ZKSHMEM_FREE_ID);
         }},
        {"data top below the highest block in use", ZKSHMEM_RULE_DATA_TOP,
         [](Sample& s) { put32(s.base(), 12, 28); }},
        {"free bytes miscounted", ZKSHMEM_RULE_COUNTERS,
         [](Sample& s) { put32(s.base(), 24, get32(s.base(), 24) + 1); }},
        {"bytes in use miscounted", ZKSHMEM_RULE_COUNTERS,
         [](Sample& s) { put32(s.base(), 20, get32(s.base(), 20) - 16); }},
    };
    ASSERT_EQ(Sample().region.check(), "");
    for (const Damage& d : cases) {
        Sample s;
        d.apply(s);
        ZKSHMEM_CHECK check;
        EXPECT_EQ(zkshmem_check_region(s.base(), s.region.total(), &check), DWORD(ERROR_FILE_CORRUPT))
            << d.what;
        EXPECT_EQ(check.dwRule, d.rule) << d.what << ": " << check.szText;
        EXPECT_NE(check.szText[0], 0) << d.what;
    }
}

TEST(ShMemCheck, ReportsWhereAndCountsBlocks) {
    Sample s;
    ZKSHMEM_CHECK check;
    ASSERT_EQ(zkshmem_check_region(s.base(), s.region.total(), &check), 0u);
    EXPECT_EQ(check.dwBlocks, 4u);
    EXPECT_EQ(check.dwUsedBlocks, 2u);
    EXPECT_EQ(check.dwFreeBlocks, 2u);
    EXPECT_EQ(check.dwSpareEntries, 0u);
    EXPECT_EQ(check.dwLargestFree, get32(s.base(), s.entry(1) + 8));
    put16(s.base(), s.c + 34, 9);  // block c's upper tag
    ASSERT_EQ(zkshmem_check_region(s.base(), s.region.total(), &check), DWORD(ERROR_FILE_CORRUPT));
    EXPECT_EQ(check.dwEntry, 4u);
    EXPECT_EQ(check.dwOffset, s.c + 34);
}

// Whatever the bookkeeping holds, neither the checker nor an operation
// reads or writes outside the region (ASan watches the exact buffer), none
// loops for ever, and every result is one the operation may give.
TEST(ShMemCheck, DamagedRegionsNeverLeadOutside) {
    std::mt19937 rng(7);
    int corrupt_reports = 0;
    for (int round = 0; round < 3000; ++round) {
        Sample s;
        BYTE* p = s.base();
        const DWORD total = s.region.total();
        const DWORD bottom = get32(p, 16);
        for (int n = 1 + rng() % 3; n > 0; --n) {
            // Mostly the bookkeeping: header, index table, tags.
            DWORD at;
            switch (rng() % 4) {
                case 0: at = rng() % 28; break;
                case 1: at = bottom + rng() % (total - bottom); break;
                case 2: at = 28 + rng() % 100; break;
                default: at = rng() % total; break;
            }
            p[at] = rng() % 4 == 0 ? 0xFF : BYTE(rng());
        }
        ZKSHMEM_CHECK check;
        zkshmem_check_region(p, total, &check);
        for (int op = 0; op < 6; ++op) {
            DWORD offset = 0, r = 0;
            switch (rng() % 4) {
                case 0: r = s.region.alloc(rng() % 200, 1, &offset); break;
                case 1: r = s.region.free(rng() % 2 ? s.a : rng() % (total + 1)); break;
                case 2: r = s.region.find(rng() % 4, &offset); break;
                default: r = s.region.change_id(rng() % 2 ? s.c : rng() % total, 5); break;
            }
            EXPECT_TRUE(r == 0 || r == ERROR_NOT_ENOUGH_MEMORY || r == ERROR_INVALID_PARAMETER ||
                        r == ERROR_SERVICE_NOT_FOUND || r == ERROR_FILE_CORRUPT)
                << "round " << round << ": " << r;
            if (r == 0 && offset) {
                EXPECT_GE(offset, 30u);
                EXPECT_LT(offset, bottom);
            }
            corrupt_reports += r == ERROR_FILE_CORRUPT;
        }
    }
    EXPECT_GT(corrupt_reports, 0);
}

}  // namespace
