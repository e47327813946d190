// The checker names the first broken rule; heap operations on a damaged
// region stay inside it.
#include <gtest/gtest.h>

#include <random>

#include "shmem_test_util.h"

using namespace zkx::test;

namespace {

// Blocks a (in use, entry 2), b (free, 3), c (in use, 4), then the free top
// block (1).  Used list 4, 2; free list 3, 1.
struct Sample : PlainRegion {
    Sample() : PlainRegion(1000) {
        alloc(10, 1, &a);
        alloc(20, 2, &b);
        alloc(30, 3, &c);
        free(b);
    }
    void add32(DWORD at, DWORD delta) { put32(base(), at, u32(at) + delta); }
    DWORD a = 0, b = 0, c = 0;
};

TEST(ShMemCheck, NamesTheRuleThatIsBroken) {
    const struct {
        DWORD rule;
        void (*damage)(Sample&);
    } cases[] = {
        {ZKSHMEM_RULE_HEADER, [](Sample& s) { s.add32(16, 1); }},                    // index bottom off its grid
        {ZKSHMEM_RULE_HEADER, [](Sample& s) { put32(s.base(), 12, s.total() - 8); }},  // data top in the table
        {ZKSHMEM_RULE_HEADER, [](Sample& s) { put16(s.base(), 6, 0xFFFF); }},        // a list with one end
        {ZKSHMEM_RULE_LISTS, [](Sample& s) { put16(s.base(), 0, 99); }},             // head outside the table
        {ZKSHMEM_RULE_LISTS, [](Sample& s) { put16(s.base(), s.entry(1) + 14, 2); }},  // wrong back link
        {ZKSHMEM_RULE_LISTS, [](Sample& s) {                                        // entry 4 on no list
             put16(s.base(), 0, 2);
             put16(s.base(), s.entry(2) + 14, 0xFFFF);
         }},
        {ZKSHMEM_RULE_LISTS, [](Sample& s) { put16(s.base(), s.entry(2) + 12, 4); }},  // a loop
        {ZKSHMEM_RULE_LISTS, [](Sample& s) { put32(s.base(), s.entry(2), ZKSHMEM_FREE_ID); }},  // used, marked free
        {ZKSHMEM_RULE_LISTS, [](Sample& s) { put32(s.base(), s.entry(3), 7); }},     // free, not marked
        {ZKSHMEM_RULE_BLOCKS, [](Sample& s) { put16(s.base(), s.a + 16, 0x4141); }},  // upper tag overwritten
        {ZKSHMEM_RULE_BLOCKS, [](Sample& s) { s.add32(s.entry(4) + 4, 1); }},        // entry off its block
        {ZKSHMEM_RULE_BLOCKS, [](Sample& s) { s.add32(s.entry(2) + 8, 1); }},        // size one too many
        {ZKSHMEM_RULE_ADJACENT, [](Sample& s) {  // block a moves from the used list to the free list
             for (auto [at, v] : {std::pair<DWORD, WORD>{0, 4}, {2, 4}, {s.entry(4) + 12, 0xFFFF}, {4, 2},
                                  {s.entry(2) + 12, 3}, {s.entry(2) + 14, 0xFFFF}, {s.entry(3) + 14, 2}})
                 put16(s.base(), at, v);
             put32(s.base(), s.entry(2), ZKSHMEM_FREE_ID);
         }},
        {ZKSHMEM_RULE_DATA_TOP, [](Sample& s) { put32(s.base(), 12, 28); }},
        {ZKSHMEM_RULE_COUNTERS, [](Sample& s) { s.add32(24, 1); }},
        {ZKSHMEM_RULE_COUNTERS, [](Sample& s) { s.add32(20, DWORD(-16)); }},
    };
    ZKSHMEM_CHECK check;
    Sample good;
    ASSERT_EQ(zkshmem_check_region(good.base(), good.total(), &check), 0u);
    EXPECT_TRUE(check.dwUsedBlocks == 2 && check.dwFreeBlocks == 2 && check.dwSpareEntries == 0);
    EXPECT_EQ(check.dwLargestFree, good.u32(good.entry(1) + 8));
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        Sample s;
        cases[i].damage(s);
        EXPECT_EQ(zkshmem_check_region(s.base(), s.total(), &check), DWORD(ERROR_FILE_CORRUPT)) << i;
        EXPECT_EQ(check.dwRule, cases[i].rule) << i << ": " << check.szText;
    }
    put16(good.base(), good.c + 34, 9);  // block c's upper tag
    zkshmem_check_region(good.base(), good.total(), &check);
    EXPECT_TRUE(check.dwEntry == 4 && check.dwOffset == good.c + 34) << check.szText;
}

// Whatever the bookkeeping holds, neither the checker nor an operation
// touches a byte outside the region (ASan watches the exact buffer), none
// loops for ever, and results stay among those the operation may give.
TEST(ShMemCheck, DamagedRegionsNeverLeadOutside) {
    std::minstd_rand rng(7);  // 32-bit results
    int corrupt_reports = 0;
    for (int round = 0; round < 3000; ++round) {
        Sample s;
        const DWORD total = s.total(), bottom = s.u32(16);
        for (int n = 1 + rng() % 3; n > 0; --n) {
            const DWORD spots[] = {DWORD(rng() % 28), DWORD(bottom + rng() % (total - bottom)), DWORD(28 + rng() % 100), DWORD(rng() % total)};
            s.base()[spots[rng() % 4]] = rng() % 4 ? BYTE(rng()) : 0xFF;
        }
        ZKSHMEM_CHECK check;
        zkshmem_check_region(s.base(), total, &check);
        for (int op = 0; op < 6; ++op) {
            DWORD offset = 0, r;
            switch (rng() % 4) {
                case 0: r = s.alloc(rng() % 200, 1, &offset); break;
                case 1: r = s.free(rng() % 2 ? s.a : rng() % (total + 1)); break;
                case 2: r = s.find(rng() % 4, &offset); break;
                default: r = s.change_id(rng() % 2 ? s.c : rng() % total, 5); break;
            }
            EXPECT_TRUE(r == 0 || r == 8 || r == 87 || r == 1243 || r == ERROR_FILE_CORRUPT) << r;
            if (r == 0 && offset) {
                EXPECT_TRUE(offset >= 30 && offset < bottom) << offset;
            }
            corrupt_reports += r == ERROR_FILE_CORRUPT;
        }
    }
    EXPECT_GT(corrupt_reports, 0);
}

}  // namespace
