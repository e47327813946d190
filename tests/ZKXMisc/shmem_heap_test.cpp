// The heap on a plain buffer: the region format byte for byte, first fit,
// merging, the index table growing and shrinking, and a random workload
// against a reference model with the checker after every step.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "shmem_test_util.h"

using zkx::test::get16;
using zkx::test::get32;
using zkx::test::PlainRegion;

namespace {

std::vector<BYTE> bytes_at(const PlainRegion& r, DWORD offset, DWORD count) {
    return std::vector<BYTE>(r.base() + offset, r.base() + offset + count);
}

TEST(ShMemFormat, RegionSizeReservesBookkeepingPerStarted32Bytes) {
    const std::array<std::pair<DWORD, DWORD>, 5> examples = {
        {{1, 53}, {32, 84}, {33, 109}, {1000, 1796}, {4096, 7196}}};
    for (auto [size, total] : examples) {
        DWORD got = 0;
        ASSERT_EQ(zkshmem_region_size(size, &got), 0u) << size;
        EXPECT_EQ(got, total) << size;
    }
    // No region for nothing, nor one past 4 GB; the largest size that fits.
    DWORD got = 0;
    EXPECT_EQ(zkshmem_region_size(0, &got), DWORD(ERROR_INVALID_PARAMETER));
    ASSERT_EQ(zkshmem_region_size(2454267008u, &got), 0u);
    EXPECT_EQ(got, 4294967292u);
    EXPECT_EQ(zkshmem_region_size(2454267009u, &got), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(zkshmem_region_size(0xFFFFFFE1u, &got), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(zkshmem_region_size(0xFFFFFFFFu, &got), DWORD(ERROR_INVALID_PARAMETER));
}

TEST(ShMemFormat, FirstLayoutOfSize1000ByteForByte) {
    PlainRegion r(1000);
    ASSERT_EQ(r.total(), 1796u);
    const std::vector<BYTE> header = {0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x01, 0x00, 0xFF, 0xFF,
                                      0xFF, 0xFF, 0x1C, 0x00, 0x00, 0x00, 0xF4, 0x06, 0x00, 0x00,
                                      0x2C, 0x00, 0x00, 0x00, 0xD8, 0x06, 0x00, 0x00};
    EXPECT_EQ(bytes_at(r, 0, 28), header);
    const std::vector<BYTE> entry1 = {0xFF, 0xFF, 0xFF, 0xFF, 0x1C, 0x00, 0x00, 0x00,
                                      0xD8, 0x06, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(bytes_at(r, 1780, 16), entry1);
    EXPECT_EQ(bytes_at(r, 28, 2), (std::vector<BYTE>{0x01, 0x00}));
    EXPECT_EQ(bytes_at(r, 1778, 2), (std::vector<BYTE>{0x01, 0x00}));
    // Nothing else is written.
    EXPECT_TRUE(std::all_of(r.base() + 30, r.base() + 1778, [](BYTE b) { return b == 0; }));
    EXPECT_EQ(r.check(), "");
}

TEST(ShMemFormat, AllocateAndFreeInSize1000ByteForByte) {
    PlainRegion r(1000);
    const std::vector<BYTE> first_layout = r.state();
    DWORD offset = 0;
    ASSERT_EQ(r.alloc(100, 5, &offset), 0u);
    EXPECT_EQ(offset, 30u);
    const std::vector<BYTE> header = {0x02, 0x00, 0x02, 0x00, 0x01, 0x00, 0x01, 0x00, 0xFF, 0xFF,
                                      0xFF, 0xFF, 0x88, 0x00, 0x00, 0x00, 0xE4, 0x06, 0x00, 0x00,
                                      0xA8, 0x00, 0x00, 0x00, 0x5C, 0x06, 0x00, 0x00};
    EXPECT_EQ(bytes_at(r, 0, 28), header);
    const std::vector<BYTE> entries = {
        // entry 2 at 1764: id 5, block 28, size 108, alone on the used list
        0x05, 0x00, 0x00, 0x00, 0x1C, 0x00, 0x00, 0x00, 0x6C, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
        // entry 1 at 1780: the free block at 136 of 1628 bytes
        0xFF, 0xFF, 0xFF, 0xFF, 0x88, 0x00, 0x00, 0x00, 0x5C, 0x06, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(bytes_at(r, 1764, 32), entries);
    for (auto [at, tag] : {std::pair<DWORD, WORD>{28, 2}, {134, 2}, {136, 1}, {1762, 1}})
        EXPECT_EQ(r.u16(at), tag) << "tag at " << at;
    EXPECT_EQ(r.check(), "");

    ASSERT_EQ(r.free(offset), 0u);
    EXPECT_EQ(r.state(), first_layout);
    EXPECT_EQ(r.check(), "");
}

TEST(ShMemHeap, LimitsOfTheFirstBlock) {
    {
        PlainRegion r(1000);
        DWORD offset = 0;
        // Exactly the free block: taken whole, no new entry.
        ASSERT_EQ(r.alloc(1744, 1, &offset), 0u);
        EXPECT_EQ(r.u32(16), 1780u);
        EXPECT_EQ(r.u32(24), 0u);
        EXPECT_EQ(r.check(), "");
    }
    for (DWORD size = 1724; size <= 1743; ++size) {
        PlainRegion r(1000);
        const std::vector<BYTE> before = r.bytes();
        DWORD offset = 0;
        EXPECT_EQ(r.alloc(size, 1, &offset), DWORD(ERROR_NOT_ENOUGH_MEMORY)) << size;
        EXPECT_EQ(r.bytes(), before) << size;
    }
    {
        PlainRegion r(1000);
        DWORD offset = 0;
        ASSERT_EQ(r.alloc(1723, 1, &offset), 0u);
        EXPECT_EQ(r.u32(24), 5u);  // a free block of 5 bytes is left
        EXPECT_EQ(r.check(), "");
        EXPECT_EQ(r.alloc(0, 2, &offset), DWORD(ERROR_NOT_ENOUGH_MEMORY));
    }
    {
        PlainRegion r(1000);
        DWORD offset = 0;
        EXPECT_EQ(r.alloc(0xFFFFFFF8u, 1, &offset), DWORD(ERROR_NOT_ENOUGH_MEMORY));
        EXPECT_EQ(r.alloc(0xFFFFFFFFu, 1, &offset), DWORD(ERROR_NOT_ENOUGH_MEMORY));
    }
}

TEST(ShMemHeap, FindPrefersTheLatestBlockAndFollowsIdChanges) {
    PlainRegion r(1000);
    DWORD a = 0, b = 0, c = 0, found = 0;
    ASSERT_EQ(r.alloc(10, 7, &a), 0u);
    ASSERT_EQ(r.alloc(10, 7, &b), 0u);
    ASSERT_EQ(r.find(7, &found), 0u);
    EXPECT_EQ(found, b);
    ASSERT_EQ(r.free(b), 0u);
    ASSERT_EQ(r.find(7, &found), 0u);
    EXPECT_EQ(found, a);

    // A changed id keeps the block's place: a later block with the same id
    // is still found first.
    ASSERT_EQ(r.alloc(10, 9, &c), 0u);
    ASSERT_EQ(r.change_id(a, 9), 0u);
    ASSERT_EQ(r.find(9, &found), 0u);
    EXPECT_EQ(found, c);
    ASSERT_EQ(r.free(c), 0u);
    ASSERT_EQ(r.find(9, &found), 0u);
    EXPECT_EQ(found, a);
    EXPECT_EQ(r.find(7, &found), DWORD(ERROR_SERVICE_NOT_FOUND));
    // 0 is an ordinary identifier.
    ASSERT_EQ(r.change_id(a, 0), 0u);
    ASSERT_EQ(r.find(0, &found), 0u);
    EXPECT_EQ(found, a);
    EXPECT_EQ(r.check(), "");
}

TEST(ShMemHeap, ThreeBlocksFreedInAnyOrderRestoreTheFirstLayout) {
    std::array<int, 3> order = {0, 1, 2};
    do {
        PlainRegion r(1000);
        const std::vector<BYTE> first_layout = r.state();
        DWORD blocks[3];
        for (int i = 0; i < 3; ++i) ASSERT_EQ(r.alloc(20 + 10 * i, i, &blocks[i]), 0u);
        for (int i : order) {
            ASSERT_EQ(r.free(blocks[i]), 0u);
            ASSERT_EQ(r.check(), "");
        }
        EXPECT_EQ(r.state(), first_layout) << order[0] << order[1] << order[2];
    } while (std::next_permutation(order.begin(), order.end()));
}

TEST(ShMemHeap, AddressesThatNameNoBlockInUseChangeNothing) {
    PlainRegion r(1000);
    DWORD a = 0, b = 0;
    ASSERT_EQ(r.alloc(40, 1, &a), 0u);
    ASSERT_EQ(r.alloc(40, 2, &b), 0u);
    ASSERT_EQ(r.free(a), 0u);
    const std::vector<BYTE> before = r.bytes();
    const DWORD total = r.total();
    // Freed, inside a block, the tag itself, the header, the free block,
    // the index table, the end, and values that wrap around.
    for (DWORD bad : {a, b + 1, b - 1, b - 2, b + 40, 0u, 1u, 2u, 29u, b + 60, total - 16, total - 1,
                      total, 0xFFFFFFFFu}) {
        EXPECT_EQ(r.free(bad), DWORD(ERROR_INVALID_PARAMETER)) << bad;
        EXPECT_EQ(r.change_id(bad, 3), DWORD(ERROR_INVALID_PARAMETER)) << bad;
    }
    EXPECT_EQ(r.bytes(), before);
}

// The index table shrinks when its lowest entry falls out of use: into a
// free top block, together with the spare slots that then lie lowest; above
// a top block in use, as a free block of 16 bytes that takes a spare entry.
TEST(ShMemHeap, IndexSlotsGoBackToTheDataArea) {
    {
        PlainRegion r(1000);
        const std::vector<BYTE> first_layout = r.state();
        DWORD a1, a2, a3, c;
        ASSERT_EQ(r.alloc(10, 1, &a1), 0u);
        ASSERT_EQ(r.alloc(10, 2, &a2), 0u);
        ASSERT_EQ(r.alloc(10, 3, &a3), 0u);
        ASSERT_EQ(r.alloc(r.u32(24) - 8, 4, &c), 0u);  // the top block, whole
        ASSERT_EQ(r.free(a1), 0u);
        ASSERT_EQ(r.free(a3), 0u);
        ASSERT_EQ(r.free(a2), 0u);  // entries 2 and 3 become spare
        EXPECT_EQ(r.u16(8), 2u);
        EXPECT_EQ(r.u16(10), 3u);
        ASSERT_EQ(r.check(), "");
        ASSERT_EQ(r.free(c), 0u);  // entry 4 goes, and the spare 3 and 2 after it
        EXPECT_EQ(r.state(), first_layout);
    }
    {
        PlainRegion r(1000);
        DWORD a1, a2, b, c;
        ASSERT_EQ(r.alloc(10, 1, &a1), 0u);  // entry 2 at 28
        ASSERT_EQ(r.alloc(10, 2, &a2), 0u);  // entry 3 at 46
        ASSERT_EQ(r.free(a1), 0u);
        ASSERT_EQ(r.alloc(2, 3, &b), 0u);    // entry 4, cut from entry 2's block
        EXPECT_EQ(b, 30u);
        ASSERT_EQ(r.alloc(1660, 4, &c), 0u); // the top block whole: in use now
        EXPECT_EQ(c, 66u);
        ASSERT_EQ(r.free(a2), 0u);           // merges down; entry 2 spare
        ASSERT_EQ(r.check(), "");
        ASSERT_EQ(r.free(b), 0u);
        // Entry 4 left the table; spare entry 2 describes its slot, now a
        // free block of 16 bytes above the top block in use.
        EXPECT_EQ(r.u32(16), 1748u);
        const DWORD e2 = r.entry_offset(2);
        EXPECT_EQ(r.u32(e2), ZKSHMEM_FREE_ID);
        EXPECT_EQ(r.u32(e2 + 4), 1732u);
        EXPECT_EQ(r.u32(e2 + 8), 16u);
        EXPECT_EQ(r.u16(1732), 2u);
        EXPECT_EQ(r.u16(1746), 2u);
        EXPECT_EQ(r.u16(4), 2u);       // at the head of the free list
        EXPECT_EQ(r.u16(8), 0xFFFFu);  // no spare entry left
        EXPECT_EQ(r.u32(24), 52u);
        EXPECT_EQ(r.u32(12), 1732u);
        ASSERT_EQ(r.check(), "");

        ASSERT_EQ(r.free(c), 0u);
        EXPECT_EQ(r.u32(16), 1764u);
        EXPECT_EQ(r.u32(12), 28u);
        EXPECT_EQ(r.u32(24), 1736u);
        EXPECT_EQ(r.u16(8), 1u);  // entry 1 waits on the spare list
        EXPECT_EQ(r.check(), "");
    }
}

TEST(ShMemHeap, IndexTableStopsAt65534Entries) {
    PlainRegion r(65534 * 32);
    DWORD offset = 0, count = 0;
    DWORD result = 0;
    while ((result = r.alloc(0, count, &offset)) == 0) ++count;
    EXPECT_EQ(result, DWORD(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(r.u32(16), r.total() - 16u * 65534);
    EXPECT_EQ(count, 65533u);  // entry 1 still describes the free rest
    EXPECT_EQ(r.check(), "");
    // Freeing one makes room for exactly one again.
    ASSERT_EQ(r.find(77, &offset), 0u);
    ASSERT_EQ(r.free(offset), 0u);
    EXPECT_EQ(r.alloc(0, 1, &offset), 0u);
    EXPECT_EQ(r.check(), "");
}

// A random workload against the model, the checker after every step.
struct PlainOps : zkx::test::HeapOps {
    explicit PlainOps(PlainRegion& r) : region(r) {}
    DWORD alloc(DWORD size, DWORD id, DWORD* offset) override { return region.alloc(size, id, offset); }
    DWORD free(DWORD offset) override { return region.free(offset); }
    DWORD find(DWORD id, DWORD* offset) override { return region.find(id, offset); }
    DWORD change_id(DWORD offset, DWORD id) override { return region.change_id(offset, id); }
    PlainRegion& region;
};

std::string check_plain(void* ctx) { return static_cast<PlainRegion*>(ctx)->check(); }

TEST(ShMemHeap, RandomWorkloadMatchesTheModel) {
    for (uint32_t seed : {1u, 2u, 3u, 4u}) {
        // Small regions fill up often; the larger ones build long lists.
        PlainRegion r(seed % 2 ? 2000 : 20000);
        PlainOps ops(r);
        EXPECT_EQ(zkx::test::run_random_workload(ops, r.base(), r.total(), seed, 4000, 0,
                                                 check_plain, &r, true),
                  "")
            << "seed " << seed;
    }
}

}  // namespace
