// zkx shmem on a region this test holds open, healthy or damaged, and on none.
#include "../ZKXMisc/shmem_handle_util.h"
#include "zkx_run.h"

namespace zkx::test {
namespace {

constexpr DWORD kSize = 1000;  // 1796 bytes in all

class ShmemTool : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(h_ = open_shmem("ToolRegion", kSize), nullptr);
        a_ = ZKShMemAlloc(h_, 100, 5);
        b_ = ZKShMemAlloc(h_, 20, 6);
        ASSERT_TRUE(a_ && b_);
        std::strcpy(static_cast<char*>(b_), "hello");
    }
    void TearDown() override { ZKShMemClose(h_); }

    ZkxResult zkx(const char* op) { return run_zkx({"shmem", op, "ToolRegion", std::to_string(kSize)}); }

    PZKSHMEM_HEAD h_ = nullptr;
    LPVOID a_ = nullptr, b_ = nullptr;
};

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(ShmemTool, HealthyOrHalfDoneRegionPassesIsShownAndIsNotRepaired) {
    ZkxResult check = zkx("check");
    EXPECT_TRUE(check.exit_code == 0 && has(check.out, "consistent: 2 blocks in use, 1 free")) << check.out;
    EXPECT_TRUE(has(check.out, "held open by 1 handle(s) in all processes; created by pid " + std::to_string(getpid())))
        << check.out;
    const std::string dump = zkx("dump").out;
    EXPECT_TRUE(has(dump, "      3           6         136          28  \"hello\"")) << dump;
    const Bytes healthy = bytes_of(h_);
    ZkxResult repair = zkx("repair");
    EXPECT_TRUE(repair.exit_code == 0 && has(repair.out, "consistent; no bookkeeping changed")) << repair.out;
    EXPECT_TRUE(bytes_of(h_) == healthy);
    // A user killed inside an operation: the inspector shows the heap as the
    // next read-write call will roll it back, and leaves the region alone.
    leave_half_done(h_);
    check = zkx("check");
    EXPECT_TRUE(check.exit_code == 0 && has(check.err, "died inside a heap operation")) << check.err;
    EXPECT_EQ(zkshmem_journal(h_)->dwCount, 1u);
}

// Repair rebuilds what the blocks prove, and leaves untouched what they cannot
// prove.  A list that loops still lets dump report.
TEST_F(ShmemTool, DamageFailsTheCheckAndIsRepairedOrRefusedUntouched) {
    // Past the end of a's 104 bytes, over its upper tag and b's lower tag.
    std::memset(static_cast<BYTE*>(a_) + 104, 0x5A, 4);
    ZkxResult r = zkx("check");
    EXPECT_TRUE(r.exit_code == kExitFailed && has(r.err, "is damaged: ")) << r.err;
    ZKSHMEM_JOURNAL& journal = *zkshmem_journal(h_);
    journal.dwDamaged = 1;  // as the call that met the damage leaves it
    // With b's size lost too, b's place is not proven.
    const DWORD b_size_at = 1796 - 16 * 3 + 8;
    BYTE* const base = base_of(h_);
    ++base[b_size_at];
    const Bytes damaged = bytes_of(h_);
    ZkxResult refused = zkx("repair");
    EXPECT_TRUE(refused.exit_code == kExitFailed && has(refused.err, "refused, nothing changed")) << refused.err;
    EXPECT_TRUE(bytes_of(h_) == damaged && journal.dwDamaged == 1);

    --base[b_size_at];
    ZkxResult fixed = zkx("repair");
    EXPECT_TRUE(fixed.exit_code == 0 && has(fixed.out, "rewrote 2 lost boundary tags") &&
                has(fixed.out, "cleared the damaged mark")) << fixed.out << fixed.err;
    EXPECT_EQ(ZKShMemFindMemory(h_, 6), b_);
    EXPECT_STREQ(static_cast<char*>(b_), "hello");

    WORD self = 2;
    std::memcpy(base + 1796 - 16 * 2 + 12, &self, 2);  // entry 2 names itself as next
    EXPECT_TRUE(has(zkx("dump").out, "the heap checker finds a fault"));
}

TEST(ShmemToolArgs, MissingRegionsAndBadArguments) {
    EXPECT_EQ(run_zkx({"shmem", "repair", "NoSuchRegion", "100"}).exit_code, kExitFailed);
    ZkxResult none = run_zkx({"shmem", "check", "NoSuchRegion", "100"});
    EXPECT_TRUE(none.exit_code == kExitFailed && has(none.err, "no process has it open")) << "the repair created none";
    EXPECT_EQ(run_zkx({"shmem", "check", "R", "0"}).exit_code, kExitUsage);
    EXPECT_EQ(run_zkx({"shmem", "check", "R", "4294967295"}).exit_code, kExitUsage);
    EXPECT_EQ(run_zkx({"shmem", "check", std::string(33, 'n'), "100"}).exit_code, kExitUsage);
    EXPECT_EQ(run_zkx({"shmem", "peek", "R", "100"}).exit_code, kExitUsage);
}

}  // namespace
}  // namespace zkx::test
