// A kill at any write of a heap operation, and at any step of the rollback
// that follows it: the next owner finds the heap as the operation's start or
// its last commit left it, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>

#include "ZKShMemJournal.h"
#include "ZKShMemPriv.h"
#include "shmem_test_util.h"

using zkx::test::PlainRegion;

namespace {

using Bytes = std::vector<BYTE>;

// Watches a region's journal.  At every published record it takes what a
// kill at that moment would leave, rolls it back as the next owner would,
// and compares with the last committed state; optionally also for a kill
// at each step of that rollback.
class Killer {
public:
    Killer(PlainRegion& r, bool kill_rollbacks) : region_(r), kill_rollbacks_(kill_rollbacks) {}

    const ZKSHMEM_UNDO* undo() { return &undo_; }
    // The state a kill before the operation's first write leaves.
    void starting() { committed_ = region_.bytes; }

    std::string fault;
    DWORD kills = 0, commits = 0, most_writes = 0;

private:
    static void probe(void* self, DWORD event) { static_cast<Killer*>(self)->on(event); }

    void on(DWORD event) {
        if (event == ZKSHMEM_PROBE_COMMIT) {
            committed_ = region_.bytes;
            ++commits;
            return;
        }
        // Once after each record, and once more before the commit.
        most_writes = std::max(most_writes, journal_.dwCount);
        ++kills;
        fault = rolled_back(false);
        if (fault.empty() && kill_rollbacks_) fault = rolled_back(true);
    }

    std::string rolled_back(bool kill_each_step) {
        Bytes left = region_.bytes;
        ZKSHMEM_JOURNAL journal = journal_;
        Rollback{this, left, journal}.run(kill_each_step);
        if (!fault.empty()) return fault;
        if (left != committed_) return "kill " + std::to_string(kills) + " was not undone";
        if (journal.dwCount != 0) return "the rollback left records in force";
        return zkx::test::check_text(left.data(), DWORD(left.size()));
    }

    // The next owner's rollback of one kill's leftovers, itself killed at
    // each of its steps when asked: rolling back those leftovers again must
    // give the same heap.
    struct Rollback {
        Killer* killer;
        Bytes& bytes;
        ZKSHMEM_JOURNAL& journal;
        void run(bool kill_each_step) {
            const ZKSHMEM_UNDO undo{&journal, kill_each_step ? step : nullptr, this};
            zkshmem_journal_rollback(&undo, bytes.data(), DWORD(bytes.size()));
        }
        static void step(void* self, DWORD) {
            Rollback* r = static_cast<Rollback*>(self);
            Bytes again = r->bytes;
            ZKSHMEM_JOURNAL journal = r->journal;
            Rollback{r->killer, again, journal}.run(false);
            if (again != r->killer->committed_ && r->killer->fault.empty())
                r->killer->fault = "a rollback killed halfway was not completed by the next";
        }
    };

    PlainRegion& region_;
    const bool kill_rollbacks_;
    ZKSHMEM_JOURNAL journal_{};
    const ZKSHMEM_UNDO undo_{&journal_, probe, this};
    Bytes committed_;
};

struct JournalledOps : zkx::test::HeapOps {
    JournalledOps(PlainRegion& r, Killer& k) : region(r), killer(k) {}
    DWORD alloc(DWORD size, DWORD id, DWORD* offset) override {
        killer.starting();
        return zkshmem_alloc(region.base(), region.total(), size, id, offset, killer.undo());
    }
    DWORD free(DWORD offset) override {
        killer.starting();
        return zkshmem_free(region.base(), region.total(), offset, killer.undo());
    }
    DWORD find(DWORD id, DWORD* offset) override { return region.find(id, offset); }
    DWORD change_id(DWORD offset, DWORD id) override {
        killer.starting();
        return zkshmem_change_id(region.base(), region.total(), offset, id, killer.undo());
    }
    PlainRegion& region;
    Killer& killer;
};

TEST(ShMemJournal, KillAtAnyWriteIsRolledBackToTheLastCommit) {
    for (uint32_t seed : {11u, 12u}) {
        PlainRegion r(seed % 2 ? 600 : 3000);
        Killer killer(r, true);
        JournalledOps ops(r, killer);
        zkx::test::Workload w;
        w.seed = seed;
        w.steps = 600;
        w.check = [&] { return killer.fault; };
        EXPECT_EQ(run_workload(ops, r.base(), r.total(), w), "") << "seed " << seed;
        EXPECT_GT(killer.kills, 3000u);
        EXPECT_LE(killer.most_writes, ZKSHMEM_JOURNAL_STEP_MAX);
    }
}

// The longest chain of spare slots the region can hold goes back to the top
// block in one free, one committed step per slot.
TEST(ShMemJournal, LongestGiveBackCascadeStaysWithinTheJournal) {
    PlainRegion r(4096);
    const Bytes first_layout = r.state();
    // Blocks of 8 bytes (and their entries, 24 bytes each) until 48 bytes
    // are left: entries 2 to m + 1 in address order, m + 1 in the lowest
    // slot, the free top block above them with entry 1.
    std::vector<DWORD> blocks(r.u32(24) / 24 - 2);
    for (DWORD& b : blocks) ASSERT_EQ(r.alloc(0, 1, &b), 0u);
    // Freed from the bottom up, each block merges with the one below and
    // that one's entry goes spare: entries 2 to m - 1 end on the spare list.
    for (size_t i = 0; i + 1 < blocks.size(); ++i) ASSERT_EQ(r.free(blocks[i]), 0u);
    const DWORD entries = (r.total() - r.u32(16)) / 16;
    ASSERT_EQ(entries, blocks.size() + 1);

    Killer killer(r, false);
    killer.starting();
    ASSERT_EQ(zkshmem_free(r.base(), r.total(), blocks.back(), killer.undo()), 0u);
    EXPECT_EQ(killer.fault, "");
    // Entries m + 1 and m go back with the free itself, then one step per
    // spare slot, and the final commit.
    EXPECT_EQ(killer.commits, entries - 2);
    EXPECT_LE(killer.most_writes, ZKSHMEM_JOURNAL_STEP_MAX);
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

// What a process killed inside an operation leaves: a counter changed, its
// old value in force in the journal.
void leave_half_done(PZKSHMEM_HEAD h) {
    ZKSHMEM_JOURNAL& journal = *zkshmem_journal(h);
    journal.aRecord[0] = ZKSHMEM_UNDO_RECORD{24, 4, {}};
    std::memcpy(journal.aRecord[0].abOld, h->pBase + 24, 4);
    journal.dwCount = 1;
    h->pBase[24] ^= 0x40;
}

TEST(ShMemJournalHandles, ReadersWaitForAWriterToRollBack) {
    PZKSHMEM_HEAD writer = nullptr, reader = nullptr;
    ASSERT_EQ(ZKShMemOpen(&writer, 1000, ZKSHMEM_READWRITE, "j"), 0u);
    ASSERT_EQ(ZKShMemOpen(&reader, 1000, ZKSHMEM_READONLY, "j"), 0u);
    LPVOID b = ZKShMemAlloc(writer, 40, 2);
    ASSERT_NE(b, nullptr);
    const Bytes before(writer->pBase, writer->pBase + writer->dwTotalSize);
    leave_half_done(writer);

    // The reader neither repairs nor trusts the half-changed heap; its
    // check sees the heap as the rollback will leave it.
    EXPECT_EQ(ZKShMemFindMemory(reader, 2), nullptr);
    EXPECT_EQ(ZKShMemGetLastError(reader), DWORD(ERROR_FILE_CORRUPT));
    ZKSHMEM_CHECK check;
    EXPECT_EQ(zkshmem_check_handle(reader, 2000, &check), 0u) << check.szText;
    EXPECT_NE(zkshmem_journal_pending(zkshmem_journal(writer)), 0u);

    // The next writer's call rolls back.
    EXPECT_EQ(ZKShMemFindMemory(writer, 2), b);
    EXPECT_EQ(Bytes(writer->pBase, writer->pBase + writer->dwTotalSize), before);
    EXPECT_EQ(ZKShMemGetOffset(reader, ZKShMemFindMemory(reader, 2)), ZKShMemGetOffset(writer, b));
    EXPECT_TRUE(ZKShMemFree(writer, b));
    ZKShMemClose(reader);
    ZKShMemClose(writer);
}

// Damage that no journal explains: once the checker has seen it, every call
// on the region fails, not only the first.
TEST(ShMemJournalHandles, ACheckedDamageStopsEveryCall) {
    PZKSHMEM_HEAD h = nullptr;
    ASSERT_EQ(ZKShMemOpen(&h, 1000, ZKSHMEM_READWRITE, "d"), 0u);
    LPVOID a = ZKShMemAlloc(h, 40, 1);
    ASSERT_NE(a, nullptr);
    static_cast<BYTE*>(a)[44] ^= 0x55;  // past the caller's 44 bytes: the upper tag
    ZKSHMEM_CHECK check;
    EXPECT_EQ(zkshmem_check_handle(h, 2000, &check), DWORD(ERROR_FILE_CORRUPT));
    EXPECT_EQ(ZKShMemAlloc(h, 10, 2), nullptr);
    EXPECT_EQ(ZKShMemGetLastError(h), DWORD(ERROR_FILE_CORRUPT));
    EXPECT_FALSE(ZKShMemFree(h, a));
    EXPECT_FALSE(ZKShMemChangeID(h, a, 3));
    EXPECT_EQ(ZKShMemFindMemory(h, 1), nullptr);
    EXPECT_EQ(ZKShMemGetLastError(h), DWORD(ERROR_FILE_CORRUPT));
    ZKShMemClose(h);
}

}  // namespace
