// A damaged heap: the checker names the first broken rule, operations stay
// inside the region, and the repair rebuilds the bookkeeping that follows
// from the blocks or, when the blocks in use cannot be proven, writes
// nothing.
#include <random>

#include "ZKShMemRepair.h"
#include "shmem_handle_util.h"
#include "shmem_test_util.h"

using namespace zkx::test;

namespace {

// Blocks a (in use, id 1, entry 2), b (free, entry 3), c (in use, id 1
// too, entry 4), then the free top block (entry 1).  Used list 4, 2; free
// list 3, 1.
struct Sample : PlainRegion {
    Sample() : PlainRegion(1000) {
        alloc(10, 1, &a);
        alloc(20, 2, &b);
        alloc(30, 1, &c);
        free(b);
        std::memcpy(base() + a, "block a", 8);
        std::memcpy(base() + c, "block c", 8);
    }
    void add32(DWORD at, DWORD delta) { set32(at, u32(at) + delta); }
    void set16s(std::initializer_list<std::pair<DWORD, WORD>> writes) {
        for (auto [at, v] : writes) set16(at, v);
    }
    DWORD a = 0, b = 0, c = 0;
};

enum Repair { kRebuilt, kRefused };

TEST(ShMemCheck, NamesTheBrokenRuleAndRepairsOnlyWhatTheBlocksProve) {
    const struct {
        DWORD rule;
        Repair repair;
        void (*damage)(Sample&);
    } cases[] = {
        {ZKSHMEM_RULE_HEADER, kRefused, [](Sample& s) { s.add32(16, 1); }},  // index bottom off its grid
        {ZKSHMEM_RULE_HEADER, kRebuilt, [](Sample& s) { s.set32(12, s.total() - 8); }},  // top in the table
        {ZKSHMEM_RULE_HEADER, kRebuilt, [](Sample& s) { s.set16(6, 0xFFFF); }},  // a list with one end
        {ZKSHMEM_RULE_LISTS, kRebuilt, [](Sample& s) { s.set16(0, 99); }},    // used head outside the table
        {ZKSHMEM_RULE_LISTS, kRebuilt, [](Sample& s) { s.set16(4, 99); }},    // free head outside the table
        {ZKSHMEM_RULE_LISTS, kRebuilt, [](Sample& s) { s.set16(s.entry(1) + 14, 2); }},  // wrong back link
        {ZKSHMEM_RULE_LISTS, kRebuilt, [](Sample& s) { s.set16s({{0, 2}, {s.entry(2) + 14, 0xFFFF}}); }},  // 4 on none
        {ZKSHMEM_RULE_LISTS, kRebuilt, [](Sample& s) { s.set16(s.entry(2) + 12, 4); }},  // a loop
        {ZKSHMEM_RULE_LISTS, kRebuilt, [](Sample& s) { s.set16(s.entry(4) + 12, 0xFFFF); }},  // order in back links
        {ZKSHMEM_RULE_LISTS, kRefused, [](Sample& s) {  // the used order lost both ways
             s.set16s({{s.entry(4) + 12, 0xFFFF}, {s.entry(2) + 14, 0xFFFF}});
         }},
        {ZKSHMEM_RULE_LISTS, kRefused, [](Sample& s) { s.set32(s.entry(2), ZKSHMEM_FREE_ID); }},  // used, free id
        {ZKSHMEM_RULE_LISTS, kRefused, [](Sample& s) { s.set32(s.entry(3), 7); }},  // free, id of a used one
        {ZKSHMEM_RULE_LISTS, kRebuilt, [](Sample& s) { std::memset(s.base(), 0xEE, 12); }},  // every list anchor
        {ZKSHMEM_RULE_BLOCKS, kRebuilt, [](Sample& s) { s.set16(s.a + 14, 0x4141); }},  // a's upper tag
        {ZKSHMEM_RULE_BLOCKS, kRebuilt, [](Sample& s) { s.set16(s.a + 16, 0x4141); }},  // b's lower tag
        {ZKSHMEM_RULE_BLOCKS, kRebuilt, [](Sample& s) { s.set16(s.c - 2, 0x4242); }},  // c's, from below
        {ZKSHMEM_RULE_BLOCKS, kRefused, [](Sample& s) { s.set16s({{s.a - 2, 9}, {s.a + 14, 9}}); }},  // a's tags
        {ZKSHMEM_RULE_BLOCKS, kRefused, [](Sample& s) { s.add32(s.entry(4) + 4, 1); }},  // entry off its block
        {ZKSHMEM_RULE_BLOCKS, kRefused, [](Sample& s) { s.add32(s.entry(2) + 8, 1); }},  // size one too many
        {ZKSHMEM_RULE_ADJACENT, kRefused, [](Sample& s) {  // a, made free consistently, touches free b
             s.set16s({{0, 4}, {2, 4}, {s.entry(4) + 12, 0xFFFF}, {4, 2}, {s.entry(2) + 12, 3},
                       {s.entry(2) + 14, 0xFFFF}, {s.entry(3) + 14, 2}});
             s.set32(s.entry(2), ZKSHMEM_FREE_ID);
         }},
        {ZKSHMEM_RULE_DATA_TOP, kRebuilt, [](Sample& s) { s.set32(12, 28); }},
        {ZKSHMEM_RULE_COUNTERS, kRebuilt, [](Sample& s) { s.add32(24, 1); }},
        {ZKSHMEM_RULE_COUNTERS, kRebuilt, [](Sample& s) { s.add32(20, DWORD(-16)); }},
    };
    ZKSHMEM_CHECK check;
    for (size_t i = 0; i < std::size(cases); ++i) {
        Sample s;
        cases[i].damage(s);
        EXPECT_EQ(zkshmem_check_region(s.base(), s.total(), &check), DWORD(ERROR_FILE_CORRUPT)) << i;
        EXPECT_EQ(check.dwRule, cases[i].rule) << i << ": " << check.szText;
        const Bytes damaged = s.bytes;
        ZKSHMEM_REPAIR rep;
        const DWORD r = zkshmem_repair_region(s.base(), s.total(), &rep);
        if (cases[i].repair == kRefused) {
            EXPECT_EQ(r, DWORD(ERROR_FILE_CORRUPT)) << i;
            EXPECT_TRUE(s.bytes == damaged) << i;
            continue;
        }
        ASSERT_EQ(r, 0u) << i << ": " << rep.szText;
        EXPECT_EQ(rep.dwRebuilt, 1u) << i;
        EXPECT_EQ(s.check(), "") << i;
        // The same blocks in use, in the same order (the later of two with
        // one identifier is found first), with their bytes.
        DWORD found = 0;
        EXPECT_TRUE(s.find(1, &found) == 0 && found == s.c) << i;
        EXPECT_STREQ(reinterpret_cast<char*>(s.base() + s.a), "block a");
        EXPECT_STREQ(reinterpret_cast<char*>(s.base() + s.c), "block c");
        EXPECT_TRUE(s.u32(s.entry(2) + 4) == s.a - 2 && s.u32(s.entry(2) + 8) == 18 && s.u32(s.entry(4) + 8) == 38)
            << i;
        EXPECT_TRUE(s.free(s.c) == 0 && s.free(s.a) == 0 && s.check().empty()) << i;
    }
    // The oldest of three blocks in use, made free by its identifier, with
    // the used list's ends lost: its neighbour on the list still links to
    // it, so it is not taken for free.
    PlainRegion r(1000);
    DWORD x = 0, y = 0, z = 0;
    ASSERT_TRUE(r.alloc(10, 1, &x) == 0 && r.alloc(10, 2, &y) == 0 && r.alloc(10, 3, &z) == 0);
    r.set32(r.entry(2), ZKSHMEM_FREE_ID);
    r.set32(0, 0xEEEEEEEE);
    const Bytes damaged = r.bytes;
    ZKSHMEM_REPAIR rep;
    EXPECT_EQ(zkshmem_repair_region(r.base(), r.total(), &rep), DWORD(ERROR_FILE_CORRUPT)) << rep.szText;
    EXPECT_TRUE(r.bytes == damaged);
}

// Random stray writes over the bookkeeping and anywhere else: neither the
// checker, the repair nor an operation touches a byte outside the region
// (ASan watches the exact buffer) or loops for ever; the repair leaves a
// consistent heap whose blocks in use kept their memory, or no change; and
// operations give only results they may give.
TEST(ShMemCheck, RandomDamageNeverLeadsOutsideAndIsRepairedOrLeft) {
    std::minstd_rand rng(7);  // 32-bit results
    int repaired = 0, refused = 0, corrupt_reports = 0;
    for (int round = 0; round < 3000; ++round) {
        Sample s;
        const DWORD total = s.total(), bottom = s.u32(16);
        const DWORD places[] = {0, 4, 12, 16, 20, 24, s.a - 2, s.a + 14, s.b - 2, s.c - 2, s.c + 34,
                                s.entry(1), s.entry(2), s.entry(3), s.entry(4)};
        for (int n = 1 + rng() % 3; n > 0; --n) {
            const DWORD at = rng() % 4 ? places[rng() % std::size(places)] + rng() % 16 : rng() % total;
            if (at < total) s.base()[at] = rng() % 3 ? BYTE(rng()) : 0xFF;
        }
        PlainRegion copy = s;
        ZKSHMEM_REPAIR rep;
        const DWORD r = copy.check().empty() ? 1 : zkshmem_repair_region(copy.base(), total, &rep);
        if (r == ERROR_FILE_CORRUPT) {
            ASSERT_TRUE(copy.bytes == s.bytes) << round;
            ++refused;
        } else if (r == 0) {
            ASSERT_EQ(copy.check(), "") << round;
            for (WORD k = copy.u16(0); k != ZKSHMEM_NO_ENTRY; k = copy.u16(copy.entry(k) + 12)) {
                const DWORD o = copy.u32(copy.entry(k) + 4), n = copy.u32(copy.entry(k) + 8);
                ASSERT_EQ(std::memcmp(copy.base() + o + 2, s.base() + o + 2, n - 4), 0) << round;
            }
            ++repaired;
        }
        for (int op = 0; op < 6; ++op) {
            DWORD offset = 0, result;
            switch (rng() % 4) {
                case 0: result = s.alloc(rng() % 200, 1, &offset); break;
                case 1: result = s.free(rng() % 2 ? s.a : rng() % (total + 1)); break;
                case 2: result = s.find(rng() % 4, &offset); break;
                default: result = s.change_id(rng() % 2 ? s.c : rng() % total, 5); break;
            }
            EXPECT_TRUE(result == 0 || result == ERROR_NOT_ENOUGH_MEMORY || result == ERROR_INVALID_PARAMETER ||
                        result == ERROR_SERVICE_NOT_FOUND || result == ERROR_FILE_CORRUPT)
                << result;
            EXPECT_TRUE(result != 0 || offset == 0 || (offset >= 30 && offset < bottom)) << offset;
            corrupt_reports += result == ERROR_FILE_CORRUPT;
        }
    }
    EXPECT_GT(repaired, 100);
    EXPECT_GT(refused, 100);
    EXPECT_GT(corrupt_reports, 0);
}

}  // namespace
