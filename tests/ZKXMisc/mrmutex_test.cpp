#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "ZKExcl.h"
#include "child.h"

namespace {

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point start) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::string unique_name(const char* what) {
    return std::string(what) + "-" + std::to_string(getpid());
}

// Runs fn on another thread and returns its result.
template <class Fn> DWORD on_other_thread(Fn fn) {
    DWORD r = 0;
    std::thread([&] { r = fn(); }).join();
    return r;
}

class MRMutex : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ZKExclInitMRMutex(&mr, nullptr, 0, 0), 0u); }
    void TearDown() override { ZKExclDeleteMRMutex(&mr, 0); }
    ZKEXCL_MRMUTEX mr{};
};

TEST_F(MRMutex, ReadersShareAndKeepWritersOut) {
    ASSERT_EQ(on_other_thread([&] { return ZKExclEnterMRMutexRead(&mr, 0, 0, 0); }), 0u);
    EXPECT_EQ(WaitForSingleObject(mr.hNoReaderEvent, 0), 258u) << "first reader resets the event";
    ASSERT_EQ(on_other_thread([&] { return ZKExclEnterMRMutexRead(&mr, 0, 0, 0); }), 0u);
    EXPECT_EQ(on_other_thread([&] { return ZKExclEnterMRMutexWrite(&mr, 0, 0, 0); }), 258u);
    // Readers are counted, not owned: any thread may leave for one.
    EXPECT_EQ(ZKExclLeaveMRMutexRead(&mr, 0), 0u);
    EXPECT_EQ(WaitForSingleObject(mr.hNoReaderEvent, 0), 258u) << "a reader is still inside";
    EXPECT_EQ(ZKExclLeaveMRMutexRead(&mr, 0), 0u);
    EXPECT_EQ(WaitForSingleObject(mr.hNoReaderEvent, 0), 0u) << "the last reader signals it";
    EXPECT_EQ(on_other_thread([&] {
                  DWORD r = ZKExclEnterMRMutexWrite(&mr, 0, 0, 0);
                  if (r == 0) ZKExclLeaveMRMutexWrite(&mr, 0);
                  return r;
              }),
              0u);
}

TEST_F(MRMutex, WriterExcludesReadersUntilItLeaves) {
    ASSERT_EQ(ZKExclEnterMRMutexWrite(&mr, 0, 0, 0), 0u);
    auto start = Clock::now();
    EXPECT_EQ(on_other_thread([&] { return ZKExclEnterMRMutexRead(&mr, 100, 0, 0); }), 258u);
    EXPECT_GE(ms_since(start), 90);
    EXPECT_EQ(on_other_thread([&] { return ZKExclLeaveMRMutexWrite(&mr, 0); }), 288u);
    // The writer's mutex is recursive for its own thread.
    EXPECT_EQ(ZKExclEnterMRMutexWrite(&mr, 0, 0, 0), 0u);
    EXPECT_EQ(ZKExclLeaveMRMutexWrite(&mr, 0), 0u);
    EXPECT_EQ(ZKExclLeaveMRMutexWrite(&mr, 0), 0u);
    EXPECT_EQ(on_other_thread([&] { return ZKExclEnterMRMutexRead(&mr, 100, 0, 0); }), 0u);
    EXPECT_EQ(ZKExclLeaveMRMutexRead(&mr, 0), 0u);
}

TEST_F(MRMutex, LeaveReadWithoutReaderTimesOut) {
    auto start = Clock::now();
    EXPECT_EQ(ZKExclLeaveMRMutexRead(&mr, 0), 121u);
    EXPECT_GE(ms_since(start), 1900);
}

TEST(MRMutexRecord, InvalidRecordsAndNames) {
    ZKEXCL_MRMUTEX mr{};
    EXPECT_EQ(ZKExclEnterMRMutexWrite(&mr, 0, 0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(ZKExclEnterMRMutexRead(&mr, 0, 0, 0), 6u);
    EXPECT_EQ(ZKExclLeaveMRMutexRead(&mr, 0), 6u);
    EXPECT_EQ(ZKExclLeaveMRMutexWrite(&mr, 0), 6u);
    EXPECT_EQ(ZKExclIsValidMRMutex(&mr), 6u);
    EXPECT_EQ(ZKExclDeleteMRMutex(&mr, 0), 0u);

    std::string longest(226, 'n'), too_long(227, 'n');
    longest.replace(0, 8, std::to_string(getpid()).append(8, '-').substr(0, 8));
    ASSERT_EQ(ZKExclInitMRMutex(&mr, longest.c_str(), 0, 0), 0u);
    EXPECT_EQ(ZKExclIsValidMRMutex(&mr), 0u);
    EXPECT_EQ(ZKExclEnterMRMutexWrite(&mr, 0, 0, 0), 0u);
    EXPECT_EQ(ZKExclLeaveMRMutexWrite(&mr, 0), 0u);
    EXPECT_EQ(ZKExclDeleteMRMutex(&mr, 0), 0u);
    EXPECT_EQ(ZKExclInitMRMutex(&mr, too_long.c_str(), 0, 0), 123u);
    EXPECT_EQ(ZKExclIsValidMRMutex(&mr), 6u);
}

// --- across processes ---------------------------------------------------

// args: lock name, role ("read" or "write"), name of an event: holds the
// lock until the event is set (or the child is killed).
ZKX_CHILD(mr_holder) {
    ZKEXCL_MRMUTEX mr{};
    if (ZKExclInitMRMutex(&mr, args.at(0).c_str(), 0, 0) != 0) return 10;
    bool write = args.at(1) == "write";
    DWORD r = write ? ZKExclEnterMRMutexWrite(&mr, 5000, 0, 0) : ZKExclEnterMRMutexRead(&mr, 5000, 0, 0);
    if (r != 0) return 11;
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, args.at(2).c_str());
    if (WaitForSingleObject(release, 60000) != WAIT_OBJECT_0) return 13;
    CloseHandle(release);
    r = write ? ZKExclLeaveMRMutexWrite(&mr, 0) : ZKExclLeaveMRMutexRead(&mr, 0);
    ZKExclDeleteMRMutex(&mr, 0);
    return r == 0 ? 0 : 12;
}

// Waits until the named lock is taken by someone else (enter write with
// timeout 0 fails), for at most 10 s.
bool wait_until_taken(ZKEXCL_MRMUTEX* mr) {
    auto start = Clock::now();
    while (ms_since(start) < 10000) {
        DWORD r = on_other_thread([&] {
            DWORD w = ZKExclEnterMRMutexWrite(mr, 0, 0, 0);
            if (w == 0) ZKExclLeaveMRMutexWrite(mr, 0);
            return w;
        });
        if (r != 0) return true;
        Sleep(5);
    }
    return false;
}

TEST(MRMutexProcesses, SameNameSharesTheLockAndNullNameDoesNot) {
    std::string name = unique_name("shared");
    ZKEXCL_MRMUTEX mine{}, priv{};
    ASSERT_EQ(ZKExclInitMRMutex(&mine, name.c_str(), 0, 0), 0u);
    ASSERT_EQ(ZKExclInitMRMutex(&priv, nullptr, 0, 0), 0u);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, (name + "-release").c_str());
    pid_t child = zkx::test::spawn_child("mr_holder", {name, "read", name + "-release"});
    ASSERT_TRUE(wait_until_taken(&mine));
    // The child's reader lets our readers in but keeps our writers out.
    EXPECT_EQ(ZKExclEnterMRMutexRead(&mine, 0, 0, 0), 0u);
    EXPECT_EQ(on_other_thread([&] { return ZKExclEnterMRMutexWrite(&mine, 0, 0, 0); }), 258u);
    EXPECT_EQ(ZKExclLeaveMRMutexRead(&mine, 0), 0u);
    EXPECT_EQ(ZKExclEnterMRMutexWrite(&priv, 0, 0, 0), 0u) << "a private lock is not shared";
    ZKExclLeaveMRMutexWrite(&priv, 0);
    // Once the child's reader has left, our writer gets in.
    SetEvent(release);
    EXPECT_EQ(ZKExclEnterMRMutexWrite(&mine, 10000, 0, 0), 0u);
    EXPECT_EQ(ZKExclLeaveMRMutexWrite(&mine, 0), 0u);
    EXPECT_EQ(zkx::test::wait_child(child), 0);
    CloseHandle(release);
    ZKExclDeleteMRMutex(&mine, 0);
    ZKExclDeleteMRMutex(&priv, 0);
}

TEST(MRMutexProcesses, WriterKilledInsideItsTurnIsReportedOnceAndTheLockWorks) {
    std::string name = unique_name("killed");
    ZKEXCL_MRMUTEX mr{};
    ASSERT_EQ(ZKExclInitMRMutex(&mr, name.c_str(), 0, 0), 0u);
    pid_t child = zkx::test::spawn_child("mr_holder", {name, "write", name + "-never"});
    ASSERT_TRUE(wait_until_taken(&mr));
    kill(child, SIGKILL);
    zkx::test::wait_child(child);
    EXPECT_EQ(ZKExclEnterMRMutexWrite(&mr, 10000, 0, 0), 128u);
    EXPECT_EQ(ZKExclEnterMRMutexWrite(&mr, 0, 0, 0), 0u);
    EXPECT_EQ(ZKExclLeaveMRMutexWrite(&mr, 0), 0u);
    EXPECT_EQ(ZKExclEnterMRMutexRead(&mr, 0, 0, 0), 0u);
    EXPECT_EQ(ZKExclLeaveMRMutexRead(&mr, 0), 0u);
    ZKExclDeleteMRMutex(&mr, 0);
}

}  // namespace
