// Users of one heap killed at random, often inside an operation: after each kill
// the heap is consistent, our block intact, and the dead users' blocks freeable.
#include <random>

#include "../ZKXMisc/shmem_handle_util.h"
#include "crash_util.h"

namespace {

using namespace zkx::test;

const DWORD kPayload = 256 * 1024;

// args: ready event.  Allocs, fills and frees blocks with ids of its own
// until it is killed.  User a keeps the lookup index however few blocks there
// are, so that kills land inside its updates; b walks and leaves it stale.
ZKX_CHILD(heap_user) {
    const bool a = args.at(0).back() == 'a';
    if (a) g_zkshmem_lookup_min_entries = 0;
    PZKSHMEM_HEAD h = open_shmem("crash-heap", kPayload);
    const DWORD id_base = a ? 1000 : 2000;
    std::mt19937 rng(id_base);
    std::vector<LPVOID> mine;
    for (unsigned turn = 0;; ++turn) {
        if (mine.size() < 40 && (mine.empty() || rng() % 3 != 0)) {
            const DWORD size = 1 + rng() % 2000;
            if (LPVOID p = ZKShMemAlloc(h, size, id_base + rng() % 16)) mine.push_back(memset(p, 0xC3, size));
        } else {
            const size_t i = rng() % mine.size();
            if (ZKShMemFree(h, mine[i])) mine.erase(mine.begin() + long(i));
        }
        ZKShMemFindMemory(h, id_base + rng() % 16);
        if (turn == 50) signal_ready(args.at(0));
    }
}

TEST(ShMemKill, UsersKilledInsideHeapOperationsLeaveItConsistent) {
    g_zkshmem_lookup_min_entries = 0;
    const DWORD kMine = 0x5000;  // our own block, written before the kills and read after each
    PZKSHMEM_HEAD h = open_shmem("crash-heap", kPayload);
    auto* mine = static_cast<BYTE*>(ZKShMemAlloc(h, 512, kMine));
    ASSERT_NE(mine, nullptr);
    for (int i = 0; i < 512; ++i) mine[i] = BYTE(i);
    for (int round = 0; another_round(round, 10); ++round) {
        const auto [a, b] = spawn_two_working("heap_user", round);
        ASSERT_TRUE(a && b);
        EXPECT_TRUE(kill_at_random_moment(a, 10));
        EXPECT_TRUE(kill_at_random_moment(b, 5));
        ASSERT_EQ(check(h), "") << "round " << round;
        ASSERT_TRUE(index_trustworthy(zkshmem_lookup(h), h->pBase, h->dwTotalSize)) << "round " << round;
        for (DWORD id = 1000; id < 2016; id += (id == 1015 ? 985 : 1))
            while (LPVOID dead = ZKShMemFindMemory(h, id)) ASSERT_TRUE(ZKShMemFree(h, dead));
        ASSERT_EQ(ZKShMemFindMemory(h, kMine), mine);
        for (int i = 0; i < 512; ++i) ASSERT_EQ(mine[i], BYTE(i)) << i;
    }
    ZKShMemClose(h);
}

}  // namespace
