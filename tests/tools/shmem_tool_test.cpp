// zkx shmem on regions this test holds open: a healthy heap, one damaged on
// purpose, and regions that are not there.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <unistd.h>
#include <vector>

#include "ZKShMem.h"
#include "ZKShMemFormat.h"
#include "ZKShMemPriv.h"
#include "zkx_run.h"

namespace zkx::test {
namespace {

constexpr DWORD kSize = 1000;  // 1796 bytes in all

class ShmemTool : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ZKShMemOpen(&h_, kSize, ZKSHMEM_READWRITE, "ToolRegion"), 0u);
        base_ = static_cast<BYTE*>(ZKShMemBaseAddress(h_));
        a_ = ZKShMemAlloc(h_, 100, 5);
        b_ = ZKShMemAlloc(h_, 20, 6);
        ASSERT_TRUE(a_ && b_);
        std::strcpy(static_cast<char*>(b_), "hello");
    }
    void TearDown() override { ZKShMemClose(h_); }

    ZkxResult zkx(const char* op) { return run_zkx({"shmem", op, "ToolRegion", std::to_string(kSize)}); }

    PZKSHMEM_HEAD h_ = nullptr;
    BYTE* base_ = nullptr;
    LPVOID a_ = nullptr;
    LPVOID b_ = nullptr;
};

TEST_F(ShmemTool, HealthyRegionPassesAndIsShownWithItsBlocks) {
    ZkxResult check = zkx("check");
    EXPECT_EQ(check.exit_code, 0) << check.err;
    EXPECT_NE(check.out.find("consistent: 2 blocks in use, 1 free"), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("held open by 1 handle(s) in all processes; created by pid " +
                             std::to_string(getpid())),
              std::string::npos)
        << check.out;

    // Header 28 + three entries 48 + blocks of 108 and 28 bytes.
    ZkxResult info = zkx("info");
    EXPECT_EQ(info.exit_code, 0);
    EXPECT_NE(info.out.find("in use        212 bytes (11.8%)"), std::string::npos) << info.out;

    ZkxResult dump = zkx("dump");
    EXPECT_EQ(dump.exit_code, 0);
    EXPECT_NE(dump.out.find("      3           6         136          28  \"hello\""), std::string::npos)
        << dump.out;
    EXPECT_NE(dump.out.find("      2           5          28         108"), std::string::npos);

    ASSERT_TRUE(ZKShMemFree(h_, a_));
    EXPECT_NE(zkx("dump").out.find("      2        free          28         108"), std::string::npos);
    EXPECT_EQ(zkx("check").exit_code, 0);
}

TEST_F(ShmemTool, DamagedRegionFailsWithWhatIsWrong) {
    // A free-bytes counter that no longer adds up.
    ++base_[24];
    ZkxResult r = zkx("check");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("is damaged: "), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    --base_[24];
    EXPECT_EQ(zkx("check").exit_code, 0);

    // A boundary tag overwritten, as a caller writing past its block does;
    // a list that loops.  Info and dump still report without crashing.
    BYTE* upper_tag = static_cast<BYTE*>(b_) + 20 + 4;
    upper_tag[0] = 0x77;
    EXPECT_EQ(zkx("check").exit_code, 1);
    WORD self = 2;
    std::memcpy(base_ + 1796 - 16 * 2 + 12, &self, 2);  // entry 2 names itself as next
    ZkxResult dump = zkx("dump");
    EXPECT_EQ(dump.exit_code, 0);
    EXPECT_NE(dump.out.find("the heap checker finds a fault"), std::string::npos) << dump.out;
}

// A user killed inside an operation: the inspector shows the heap as the
// next read-write call will roll it back, and leaves the region alone.
TEST_F(ShmemTool, HalfDoneOperationIsShownRolledBack) {
    ZKSHMEM_JOURNAL& journal = *zkshmem_journal(h_);
    journal.aRecord[0] = ZKSHMEM_UNDO_RECORD{24, 4, {}};
    std::memcpy(journal.aRecord[0].abOld, base_ + 24, 4);
    journal.dwCount = 1;
    base_[24] ^= 0x40;
    ZkxResult r = zkx("check");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("died inside a heap operation"), std::string::npos) << r.err;
    EXPECT_EQ(journal.dwCount, 1u);
    EXPECT_EQ(ZKShMemFindMemory(h_, 6), b_) << "a read-write call rolls back";
    EXPECT_EQ(journal.dwCount, 0u);
}

// A stray write that stopped every heap call: repair rebuilds what the
// blocks prove and the calls work again on the same blocks; what cannot be
// proven is refused untouched; a healthy heap is left as it is.
TEST_F(ShmemTool, RepairBringsADamagedHeapBackOrRefusesUntouched) {
    const std::vector<BYTE> healthy(base_, base_ + 1796);
    ZkxResult ok = zkx("repair");
    EXPECT_EQ(ok.exit_code, 0) << ok.err;
    EXPECT_NE(ok.out.find("consistent; no bookkeeping changed"), std::string::npos) << ok.out;
    EXPECT_TRUE(std::vector<BYTE>(base_, base_ + 1796) == healthy);

    // Past the end of a's 104 bytes, over its upper tag and b's lower tag.
    std::memset(static_cast<BYTE*>(a_) + 104, 0x5A, 4);
    ZKSHMEM_JOURNAL& journal = *zkshmem_journal(h_);
    journal.dwDamaged = 1;  // as the call that met the damage leaves it
    EXPECT_EQ(ZKShMemFindMemory(h_, 6), nullptr);
    EXPECT_EQ(ZKShMemGetLastError(h_), DWORD(ERROR_FILE_CORRUPT));

    // With b's size lost too, b's place is not proven.
    const DWORD b_size_at = 1796 - 16 * 3 + 8;
    ++base_[b_size_at];
    const std::vector<BYTE> damaged(base_, base_ + 1796);
    ZkxResult refused = zkx("repair");
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_NE(refused.err.find("refused, nothing changed"), std::string::npos) << refused.err;
    EXPECT_TRUE(std::vector<BYTE>(base_, base_ + 1796) == damaged);
    EXPECT_EQ(journal.dwDamaged, 1u);

    --base_[b_size_at];
    ZkxResult fixed = zkx("repair");
    EXPECT_EQ(fixed.exit_code, 0) << fixed.err;
    EXPECT_NE(fixed.out.find("rewrote 2 lost boundary tags"), std::string::npos) << fixed.out;
    EXPECT_NE(fixed.out.find("cleared the damaged mark"), std::string::npos) << fixed.out;
    EXPECT_EQ(journal.dwDamaged, 0u);
    EXPECT_EQ(ZKShMemFindMemory(h_, 6), b_);
    EXPECT_EQ(ZKShMemFindMemory(h_, 5), a_);
    EXPECT_STREQ(static_cast<char*>(b_), "hello");
    EXPECT_EQ(zkx("check").exit_code, 0);
    EXPECT_TRUE(ZKShMemFree(h_, a_));
}

TEST(ShmemToolArgs, MissingRegionsAndBadArguments) {
    ZkxResult none = run_zkx({"shmem", "check", "NoSuchRegion", "100"});
    EXPECT_EQ(none.exit_code, 1);
    EXPECT_NE(none.err.find("no process has it open"), std::string::npos) << none.err;
    EXPECT_EQ(run_zkx({"shmem", "check", "R", "0"}).exit_code, 2);
    EXPECT_EQ(run_zkx({"shmem", "check", "R", "4294967295"}).exit_code, 2);
    EXPECT_EQ(run_zkx({"shmem", "check", std::string(33, 'n'), "100"}).exit_code, 2);
    EXPECT_EQ(run_zkx({"shmem", "peek", "R", "100"}).exit_code, 2);
    EXPECT_EQ(run_zkx({"shmem", "repair", "NoSuchRegion", "100"}).exit_code, 1) << "never creates one";
    EXPECT_EQ(run_zkx({"shmem", "check", "NoSuchRegion", "100"}).exit_code, 1);
}

}  // namespace
}  // namespace zkx::test
