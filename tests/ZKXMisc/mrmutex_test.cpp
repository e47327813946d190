// The multi-reader mutex: readers share it and keep writers out, a writer
// keeps everyone else out, in one process and across processes.
#include <random>

#include "ZKExcl.h"
#include "misc_test_util.h"
#include "test_util.h"

namespace {

using namespace zkx::test;

// Enter write with timeout 0 from another thread, leaving at once: 0 when
// nobody else holds the lock.
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

TEST_F(MRMutex, ReadersShareAndKeepWritersOut) {
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
}

TEST_F(MRMutex, WriterExcludesReadersUntilItLeaves) {
    ASSERT_EQ(ZKExclEnterMRMutexWrite(&mr, 0, 0, 0), 0u);
    auto start = std::chrono::steady_clock::now();
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
    EXPECT_EQ(on_other_thread([&] {
                  DWORD r = WaitForSingleObject(mr.hNoWriterMutex, 0);
                  if (r == WAIT_OBJECT_0) ReleaseMutex(mr.hNoWriterMutex);
                  return r;
              }),
              WAIT_OBJECT_0)
        << "the failed leave owns nothing";
    EXPECT_EQ(WaitForSingleObject(mr.hNoReaderEvent, 0), WAIT_TIMEOUT) << "the reader is still counted";
    EXPECT_EQ(try_write(&mr), WAIT_TIMEOUT);
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
    EXPECT_EQ(ZKExclIsValidMRMutex(&mr), 0u);
    EXPECT_EQ(ZKExclEnterMRMutexWrite(&mr, 0, 0, 0), 0u);
    EXPECT_EQ(ZKExclLeaveMRMutexWrite(&mr, 0), 0u);
    EXPECT_EQ(ZKExclDeleteMRMutex(&mr, 0), 0u);
    EXPECT_EQ(ZKExclInitMRMutex(&mr, too_long.c_str(), 0, 0), DWORD(ERROR_INVALID_NAME));
    EXPECT_EQ(ZKExclIsValidMRMutex(&mr), DWORD(ERROR_INVALID_HANDLE));
}

// --- across processes ---------------------------------------------------

// args: lock name, name of an event: reads under the lock until the event
// is set.  (Writers killed inside their turn are the crash tests' part.)
ZKX_CHILD(mr_reader) {
    ZKEXCL_MRMUTEX mr{};
    if (ZKExclInitMRMutex(&mr, args.at(0).c_str(), 0, 0) != 0 || ZKExclEnterMRMutexRead(&mr, 5000, 0, 0) != 0)
        return 10;
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, args.at(1).c_str());
    if (WaitForSingleObject(release, 60000) != WAIT_OBJECT_0) return 11;
    return ZKExclLeaveMRMutexRead(&mr, 0) == 0 ? 0 : 12;
}

TEST(MRMutexProcesses, SameNameSharesTheLockAndNullNameDoesNot) {
    std::string name = unique_name("shared");
    ZKEXCL_MRMUTEX mine{}, priv{};
    ASSERT_EQ(ZKExclInitMRMutex(&mine, name.c_str(), 0, 0), 0u);
    ASSERT_EQ(ZKExclInitMRMutex(&priv, nullptr, 0, 0), 0u);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, (name + "-release").c_str());
    pid_t child = spawn_child("mr_reader", {name, name + "-release"});
    ASSERT_TRUE(wait_until([&] { return try_write(&mine) != 0; })) << "the child never took it";
    // The child's reader lets our readers in but keeps our writers out.  The
    // child may still be inside its enter, holding the lock's mutex for a
    // moment, so our reader is given time.
    ASSERT_EQ(ZKExclEnterMRMutexRead(&mine, 5000, 0, 0), 0u);
    EXPECT_EQ(try_write(&mine), WAIT_TIMEOUT);
    EXPECT_EQ(ZKExclLeaveMRMutexRead(&mine, 0), 0u);
    EXPECT_EQ(ZKExclEnterMRMutexWrite(&priv, 0, 0, 0), 0u) << "a private lock is not shared";
    ZKExclLeaveMRMutexWrite(&priv, 0);
    // Once the child's reader has left, our writer gets in.
    SetEvent(release);
    EXPECT_EQ(ZKExclEnterMRMutexWrite(&mine, 10000, 0, 0), 0u);
    EXPECT_EQ(ZKExclLeaveMRMutexWrite(&mine, 0), 0u);
    EXPECT_EQ(wait_child(child), 0);
    CloseHandle(release);
    ZKExclDeleteMRMutex(&mine, 0);
    ZKExclDeleteMRMutex(&priv, 0);
}

// Four processes with two threads each take one named lock as readers and
// writers at random for 1.5 s.  Counters in shared memory record who is
// inside; any reader that sees a writer, or writer that sees anyone else,
// counts a violation.
struct Shared {
    std::atomic<int32_t> readers, writers, violations, reads, writes;
};
static_assert(std::atomic<int32_t>::is_always_lock_free, "counters shared between processes");

Shared* map_shared(const std::string& name, HANDLE* section) {
    *section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Shared), name.c_str());
    return *section ? static_cast<Shared*>(MapViewOfFile(*section, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Shared)))
                    : nullptr;
}

void hammer(const std::string& lock_name, Shared* shared, unsigned seed) {
    ZKEXCL_MRMUTEX mr{};
    if (ZKExclInitMRMutex(&mr, lock_name.c_str(), 0, 0) != 0) ++shared->violations;
    std::mt19937 rng(seed);
    for (auto start = std::chrono::steady_clock::now(); elapsed_ms(start) < 1500;) {
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
    HANDLE section = nullptr;
    Shared* shared = map_shared(args.at(1), &section);
    if (!shared) return 1;
    std::thread other(hammer, args.at(0), shared, unsigned(GetCurrentProcessId() * 31));
    hammer(args.at(0), shared, unsigned(GetCurrentProcessId() * 31 + 1));
    other.join();
    return 0;
}

TEST(MRMutexStress, ReadersAndWritersOfFourProcessesNeverOverlap) {
    const std::string lock = unique_name("stress"), counters = lock + "-counters";
    HANDLE section = nullptr;
    Shared* shared = map_shared(counters, &section);
    ASSERT_NE(shared, nullptr);
    std::vector<pid_t> children;
    for (int p = 0; p < 4; ++p) children.push_back(spawn_child("mr_stress", {lock, counters}));
    for (pid_t child : children) EXPECT_EQ(wait_child(child, 60000), 0);
    EXPECT_EQ(shared->violations.load(), 0);
    EXPECT_GT(shared->reads.load(), 0);
    EXPECT_GT(shared->writes.load(), 0);
    UnmapViewOfFile(shared);
    CloseHandle(section);
}

}  // namespace
