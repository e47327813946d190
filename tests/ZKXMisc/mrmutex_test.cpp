// The multi-reader mutex: readers share it and keep writers out, a writer
// keeps everyone else out.
#include <random>

#include "ZKExcl.h"
#include "misc_test_util.h"
#include "test_util.h"

namespace {

using namespace zkx::test;

// Enter write with timeout 0 from another thread, leaving at once.
DWORD try_write(ZKEXCL_MRMUTEX* mr) {
    return on_other_thread([&] {
        DWORD r = ZKExclEnterMRMutexWrite(mr, 0, 0, 0);
        if (r == 0) ZKExclLeaveMRMutexWrite(mr, 0);
        return r;
    });
}

DWORD read_on_other_thread(ZKEXCL_MRMUTEX* mr, DWORD timeout) {
    return on_other_thread([&] { return ZKExclEnterMRMutexRead(mr, timeout, 0, 0); });
}

class MRMutex : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ZKExclInitMRMutex(&mr, nullptr, 0, 0), 0u); }
    void TearDown() override { ZKExclDeleteMRMutex(&mr, 0); }
    ZKEXCL_MRMUTEX mr{};
};

TEST_F(MRMutex, ReadersShareAndKeepWritersOutAWriterKeepsEveryoneOut) {
    ASSERT_EQ(read_on_other_thread(&mr, 0), 0u);
    ASSERT_EQ(read_on_other_thread(&mr, 0), 0u);
    EXPECT_EQ(try_write(&mr), WAIT_TIMEOUT);
    // Readers are counted, not owned: any thread may leave for one.
    EXPECT_EQ(ZKExclLeaveMRMutexRead(&mr, 0), 0u);
    EXPECT_EQ(try_write(&mr), WAIT_TIMEOUT) << "a reader is still inside";
    EXPECT_EQ(ZKExclLeaveMRMutexRead(&mr, 0), 0u);
    EXPECT_EQ(try_write(&mr), 0u);
    // One leave too many waits for a reader that never comes.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ZKExclLeaveMRMutexRead(&mr, 0), DWORD(ERROR_SEM_TIMEOUT));
    EXPECT_GE(elapsed_ms(start), 1900);

    // A writer keeps readers out until it leaves.
    ASSERT_EQ(ZKExclEnterMRMutexWrite(&mr, 0, 0, 0), 0u);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(read_on_other_thread(&mr, 100), WAIT_TIMEOUT);
    EXPECT_GE(elapsed_ms(start), 90);
    EXPECT_EQ(on_other_thread([&] { return ZKExclLeaveMRMutexWrite(&mr, 0); }), DWORD(ERROR_NOT_OWNER));
    // The writer's mutex is recursive for its own thread.
    EXPECT_EQ(ZKExclEnterMRMutexWrite(&mr, 0, 0, 0), 0u);
    EXPECT_EQ(ZKExclLeaveMRMutexWrite(&mr, 0), 0u);
    EXPECT_EQ(ZKExclLeaveMRMutexWrite(&mr, 0), 0u);
    EXPECT_EQ(read_on_other_thread(&mr, 100), 0u);
    EXPECT_EQ(ZKExclLeaveMRMutexRead(&mr, 0), 0u);
}

TEST_F(MRMutex, LeaveReadOverAnAbandonedMutexChangesNothing) {
    ASSERT_EQ(ZKExclEnterMRMutexRead(&mr, 0, 0, 0), 0u);
    // A thread dies owning the mutex while the reader is inside.
    ASSERT_EQ(on_other_thread([&] { return WaitForSingleObject(mr.hNoWriterMutex, 0); }), WAIT_OBJECT_0);
    EXPECT_EQ(ZKExclLeaveMRMutexRead(&mr, 0), DWORD(ERROR_SEM_TIMEOUT));
    // The failed leave owns nothing: another thread's reader gets in.
    EXPECT_EQ(read_on_other_thread(&mr, 0), 0u);
    EXPECT_EQ(ZKExclLeaveMRMutexRead(&mr, 0), 0u);
    EXPECT_EQ(try_write(&mr), WAIT_TIMEOUT) << "the first reader is still counted";
    EXPECT_EQ(ZKExclLeaveMRMutexRead(&mr, 0), 0u);
    EXPECT_EQ(try_write(&mr), 0u);
}

TEST(MRMutexRecord, NamesUpTo226Characters) {
    ZKEXCL_MRMUTEX mr{};
    std::string longest(226, 'n'), too_long(227, 'n');
    longest.replace(0, 8, unique_name("").append(8, '-').substr(0, 8));
    // With its longest prefix the name has the 260 characters Win32 allows.
    if (wine_departs("CreateEventA and CreateSemaphoreA refuse names of 260 characters")) longest.pop_back();
    ASSERT_EQ(ZKExclInitMRMutex(&mr, longest.c_str(), 0, 0), 0u);
    EXPECT_EQ(ZKExclDeleteMRMutex(&mr, 0), 0u);
    EXPECT_EQ(ZKExclInitMRMutex(&mr, too_long.c_str(), 0, 0), DWORD(ERROR_INVALID_NAME));
    EXPECT_EQ(ZKExclIsValidMRMutex(&mr), DWORD(ERROR_INVALID_HANDLE));
}

// Processes of two threads each take one named lock as readers and writers
// at random for a second.  Counters in shared memory record who is inside:
// a reader that sees a writer, or a writer that sees anyone else, counts a
// violation.
struct Shared {
    std::atomic<int32_t> readers, writers, violations, reads, writes;
};
static_assert(std::atomic<int32_t>::is_always_lock_free, "counters shared between processes");

Shared* map_shared(const std::string& name) {
    HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Shared), name.c_str());
    return section ? static_cast<Shared*>(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Shared))) : nullptr;
}

void hammer(const std::string& lock_name, Shared* shared, unsigned seed) {
    ZKEXCL_MRMUTEX mr{};
    if (ZKExclInitMRMutex(&mr, lock_name.c_str(), 0, 0) != 0) ++shared->violations;
    std::mt19937 rng(seed);
    for (auto start = std::chrono::steady_clock::now(); elapsed_ms(start) < 1000;) {
        const bool write = rng() % 4 == 0;
        if ((write ? ZKExclEnterMRMutexWrite(&mr, 50, 0, 0) : ZKExclEnterMRMutexRead(&mr, 50, 0, 0)) != 0) continue;
        auto& mine = write ? shared->writers : shared->readers;
        auto& others = write ? shared->readers : shared->writers;
        if ((mine.fetch_add(1) != 0 && write) || others.load() != 0) ++shared->violations;
        std::this_thread::yield();
        if (others.load() != 0) ++shared->violations;
        mine.fetch_sub(1);
        ++(write ? shared->writes : shared->reads);
        if ((write ? ZKExclLeaveMRMutexWrite(&mr, 0) : ZKExclLeaveMRMutexRead(&mr, 0)) != 0) ++shared->violations;
    }
    ZKExclDeleteMRMutex(&mr, 0);
}

// args: lock name, counters' name.
ZKX_CHILD(mr_stress) {
    Shared* shared = map_shared(args.at(1));
    if (!shared) return 1;
    std::thread other(hammer, args.at(0), shared, unsigned(GetCurrentProcessId() * 31));
    hammer(args.at(0), shared, unsigned(GetCurrentProcessId() * 31 + 1));
    other.join();
    return 0;
}

TEST(MRMutexStress, ReadersAndWritersOfThreeProcessesNeverOverlap) {
    const std::string lock = unique_name("stress"), counters = lock + "-counters";
    Shared* shared = map_shared(counters);
    ASSERT_NE(shared, nullptr);
    std::vector<pid_t> children;
    for (int p = 0; p < 3; ++p) children.push_back(spawn_child("mr_stress", {lock, counters}));
    for (pid_t child : children) EXPECT_EQ(wait_child(child, 60000), 0);
    EXPECT_EQ(shared->violations.load(), 0);
    EXPECT_TRUE(shared->reads.load() > 0 && shared->writes.load() > 0);
}

}  // namespace
