// The way back from a damaged heap: bookkeeping that follows from the
// blocks is rebuilt, and nothing is written when the blocks in use cannot
// be proven.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "ZKShMemPriv.h"
#include "ZKShMemRepair.h"
#include "shmem_test_util.h"

using namespace zkx::test;

namespace {

// Blocks a (in use, id 1, entry 2), b (free, entry 3), c (in use, id 1
// too, entry 4), then the free top block (entry 1).  Used list 4, 2.
struct Sample : PlainRegion {
    Sample() : PlainRegion(1000) {
        alloc(10, 1, &a);
        alloc(20, 2, &b);
        alloc(30, 1, &c);
        free(b);
        std::memcpy(base() + a, "block a", 8);
        std::memcpy(base() + c, "block c", 8);
    }
    void add32(DWORD at, DWORD delta) { put32(base(), at, u32(at) + delta); }
    DWORD a = 0, b = 0, c = 0;
};

TEST(ShMemRepair, RebuildsWhatTheBlocksProveAndKeepsEveryBlockInUse) {
    void (*const cases[])(Sample&) = {
        [](Sample& s) { s.add32(24, 1); },                                  // free bytes
        [](Sample& s) { s.add32(20, DWORD(-16)); },                         // bytes in use
        [](Sample& s) { put32(s.base(), 12, 28); },                         // data top
        [](Sample& s) { put16(s.base(), 4, 99); },                          // free list head
        [](Sample& s) { put16(s.base(), s.entry(1) + 14, 2); },             // free back link
        [](Sample& s) { put16(s.base(), 0, 2); put16(s.base(), s.entry(2) + 14, 0xFFFF); },  // 4 off the used list
        [](Sample& s) { put16(s.base(), s.entry(4) + 12, 0xFFFF); },        // used order only in back links
        [](Sample& s) { put16(s.base(), s.a + 14, 0x4141); },               // a's upper tag
        [](Sample& s) { put16(s.base(), s.c - 2, 0x4242); },                // c's lower tag, written from below
        [](Sample& s) { std::memset(s.base(), 0xEE, 12); },                 // every list anchor
    };
    Sample good;
    const std::vector<BYTE> want = good.state();
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        Sample s;
        cases[i](s);
        ASSERT_NE(s.check(), "") << i;
        ZKSHMEM_REPAIR rep;
        ASSERT_EQ(zkshmem_repair_region(s.base(), s.total(), &rep), 0u) << i << ": " << rep.szText;
        EXPECT_EQ(rep.dwRebuilt, 1u) << i;
        EXPECT_EQ(s.check(), "") << i;
        // The same blocks in use, in the same order (the later of two with
        // one identifier is found first), with their bytes.
        DWORD found = 0;
        EXPECT_EQ(s.find(1, &found), 0u);
        EXPECT_EQ(found, s.c) << i;
        EXPECT_STREQ(reinterpret_cast<char*>(s.base() + s.a), "block a");
        EXPECT_STREQ(reinterpret_cast<char*>(s.base() + s.c), "block c");
        EXPECT_EQ(s.u32(s.entry(2) + 4), s.a - 2);
        EXPECT_EQ(s.u32(s.entry(2) + 8), 18u);
        EXPECT_EQ(s.u32(s.entry(4) + 8), 38u);
        EXPECT_TRUE(s.free(s.c) == 0 && s.free(s.a) == 0 && s.check().empty()) << i;
    }
    // A consistent heap is left byte for byte as it was.
    ZKSHMEM_REPAIR rep;
    EXPECT_EQ(zkshmem_repair_region(good.base(), good.total(), &rep), 0u);
    EXPECT_EQ(rep.dwRebuilt, 0u);
    EXPECT_EQ(good.state(), want);
}

TEST(ShMemRepair, RefusesWhatItCannotProveAndWritesNothing) {
    void (*const cases[])(Sample&) = {
        [](Sample& s) { s.add32(16, 1); },                                  // index bottom off its grid
        [](Sample& s) { put32(s.base(), s.entry(2), ZKSHMEM_FREE_ID); },    // in use on its list, free by id
        [](Sample& s) { put32(s.base(), s.entry(3), 7); },                  // free on its list, in use by id
        [](Sample& s) { s.add32(s.entry(2) + 8, 1); },                      // a block's size
        [](Sample& s) { s.add32(s.entry(4) + 4, 1); },                      // a block's place
        [](Sample& s) { put16(s.base(), s.a - 2, 9); put16(s.base(), s.a + 14, 9); },  // both of a's tags
        [](Sample& s) {                                                     // used order lost both ways
            put16(s.base(), s.entry(4) + 12, 0xFFFF);
            put16(s.base(), s.entry(2) + 14, 0xFFFF);
        },
        [](Sample& s) {  // a, with its entry and lists consistently made free, touches free b
            for (auto [at, v] : {std::pair<DWORD, WORD>{0, 4}, {2, 4}, {s.entry(4) + 12, 0xFFFF}, {4, 2},
                                 {s.entry(2) + 12, 3}, {s.entry(2) + 14, 0xFFFF}, {s.entry(3) + 14, 2}})
                put16(s.base(), at, v);
            put32(s.base(), s.entry(2), ZKSHMEM_FREE_ID);
        },
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        Sample s;
        cases[i](s);
        const std::vector<BYTE> damaged = s.bytes;
        ZKSHMEM_REPAIR rep;
        EXPECT_EQ(zkshmem_repair_region(s.base(), s.total(), &rep), DWORD(ERROR_FILE_CORRUPT)) << i;
        EXPECT_NE(std::strstr(rep.szText, "refused, nothing changed"), nullptr) << i << ": " << rep.szText;
        EXPECT_NE(rep.before.dwRule, ZKSHMEM_RULE_NONE) << i;
        EXPECT_TRUE(s.bytes == damaged) << i;
    }
    // The oldest of three blocks in use, made free by its identifier, with
    // the used list's ends lost: its neighbour on the list still links to
    // it, so it is not taken for free.
    PlainRegion r(1000);
    DWORD x = 0, y = 0, z = 0;
    ASSERT_TRUE(r.alloc(10, 1, &x) == 0 && r.alloc(10, 2, &y) == 0 && r.alloc(10, 3, &z) == 0);
    put32(r.base(), r.entry(2), ZKSHMEM_FREE_ID);
    put32(r.base(), 0, 0xEEEEEEEE);
    const std::vector<BYTE> damaged = r.bytes;
    ZKSHMEM_REPAIR rep;
    EXPECT_EQ(zkshmem_repair_region(r.base(), r.total(), &rep), DWORD(ERROR_FILE_CORRUPT)) << rep.szText;
    EXPECT_TRUE(r.bytes == damaged);
}

// Random stray writes over the bookkeeping: the repair reads and writes
// only inside the region (ASan watches the exact buffer), and either leaves
// a consistent heap whose blocks in use kept their memory, or no change.
TEST(ShMemRepair, RandomDamageIsRepairedOrLeftAsItWas) {
    std::minstd_rand rng(11);
    int repaired = 0, refused = 0;
    for (int round = 0; round < 2000; ++round) {
        Sample s;
        const DWORD places[] = {0, 4, 12, 16, 20, 24, s.a - 2, s.a + 14, s.b - 2, s.c - 2, s.c + 34,
                                s.entry(1), s.entry(2), s.entry(3), s.entry(4)};
        for (int n = 1 + rng() % 3; n > 0; --n) {
            const DWORD at = places[rng() % (sizeof places / sizeof places[0])] + rng() % 16;
            if (at < s.total()) s.base()[at] = BYTE(rng() % 3 == 0 ? 0xFF : rng());
        }
        if (s.check().empty()) continue;
        const std::vector<BYTE> damaged = s.bytes;
        ZKSHMEM_REPAIR rep;
        const DWORD r = zkshmem_repair_region(s.base(), s.total(), &rep);
        ASSERT_TRUE(r == 0 || r == DWORD(ERROR_FILE_CORRUPT)) << round;
        if (r != 0) {
            ASSERT_TRUE(s.bytes == damaged) << round;
            ++refused;
            continue;
        }
        ASSERT_EQ(s.check(), "") << round;
        for (WORD k = s.u16(0); k != ZKSHMEM_NO_ENTRY; k = s.u16(s.entry(k) + 12)) {
            const DWORD o = s.u32(s.entry(k) + 4), n = s.u32(s.entry(k) + 8);
            ASSERT_EQ(std::memcmp(s.base() + o + 2, damaged.data() + o + 2, n - 4), 0) << round;
        }
        ++repaired;
    }
    EXPECT_GT(repaired, 100);
    EXPECT_GT(refused, 100);
}

// Through a handle: the damaged mark stops every call until the repair.
TEST(ShMemRepairHandles, ClearsTheMarkWhenTheHeapIsWholeAgain) {
    PZKSHMEM_HEAD h = nullptr, reader = nullptr;
    ASSERT_EQ(ZKShMemOpen(&h, 1000, ZKSHMEM_READWRITE, "rep"), 0u);
    ASSERT_EQ(ZKShMemOpen(&reader, 1000, ZKSHMEM_READONLY, "rep"), 0u);
    BYTE* base = static_cast<BYTE*>(ZKShMemBaseAddress(h));
    const DWORD total = 1796;
    char* a = static_cast<char*>(ZKShMemAlloc(h, 40, 11));
    char* b = static_cast<char*>(ZKShMemAlloc(h, 20, 12));
    ASSERT_TRUE(a && b);
    std::strcpy(a, "first");
    std::strcpy(b, "second");
    a[44] ^= 0x55;  // a caller writing past its 44 bytes: a's upper tag
    ZKSHMEM_CHECK check;
    EXPECT_EQ(zkshmem_check_handle(h, 2000, &check), DWORD(ERROR_FILE_CORRUPT));
    EXPECT_EQ(ZKShMemFindMemory(h, 12), nullptr);
    EXPECT_EQ(ZKShMemGetLastError(h), DWORD(ERROR_FILE_CORRUPT));

    ZKSHMEM_REPAIR rep;
    EXPECT_EQ(zkshmem_repair_handle(reader, 2000, &rep), DWORD(ERROR_INVALID_ACCESS));
    EXPECT_EQ(ZKShMemAlloc(h, 10, 13), nullptr) << "a reader cannot repair";
    EXPECT_EQ(zkshmem_repair_handle(h, 2000, &rep), 0u) << rep.szText;
    EXPECT_TRUE(rep.dwRebuilt == 1 && rep.dwWasMarked == 1) << rep.szText;
    EXPECT_EQ(ZKShMemFindMemory(h, 11), a);
    EXPECT_EQ(ZKShMemGetOffset(reader, ZKShMemFindMemory(reader, 12)), ZKShMemGetOffset(h, b));
    EXPECT_STREQ(a, "first");
    EXPECT_STREQ(b, "second");
    EXPECT_NE(ZKShMemAlloc(h, 10, 13), nullptr);
    EXPECT_TRUE(ZKShMemFree(h, a) && ZKShMemFree(h, b));
    EXPECT_EQ(check_text(base, total), "");

    // A killed process's half-done write is rolled back first, as any call
    // would; what is left is consistent and needs no rebuild.
    ZKSHMEM_JOURNAL& journal = *zkshmem_journal(h);
    journal.aRecord[0] = ZKSHMEM_UNDO_RECORD{24, 4, {}};
    std::memcpy(journal.aRecord[0].abOld, base + 24, 4);
    journal.dwCount = 1;
    base[24] ^= 0x40;
    EXPECT_EQ(zkshmem_repair_handle(h, 2000, &rep), 0u) << rep.szText;
    EXPECT_TRUE(rep.dwRolledBack == 1 && rep.dwRebuilt == 0 && journal.dwCount == 0);
    EXPECT_EQ(check_text(base, total), "");
    ZKShMemClose(reader);
    ZKShMemClose(h);
}

}  // namespace
