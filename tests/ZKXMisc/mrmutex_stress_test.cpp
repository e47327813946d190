// Four processes with two threads each take one named multi-reader mutex as
// readers and writers at random.  Counters in shared memory record who is
// inside; any reader that sees a writer, or writer that sees anyone else,
// counts a violation.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ZKExcl.h"
#include "child.h"

namespace {

struct Shared {
    std::atomic<int32_t> readers;
    std::atomic<int32_t> writers;
    std::atomic<int32_t> violations;
    std::atomic<int32_t> reads;
    std::atomic<int32_t> writes;
};
static_assert(std::atomic<int32_t>::is_always_lock_free, "counters shared between processes");

constexpr int kProcesses = 4;
constexpr int kThreadsPerProcess = 2;
constexpr int kMillis = 1500;

Shared* map_shared(const std::string& name, HANDLE* section) {
    *section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Shared),
                                  name.c_str());
    if (!*section) return nullptr;
    return static_cast<Shared*>(MapViewOfFile(*section, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Shared)));
}

void hammer(const std::string& lock_name, Shared* shared, unsigned seed) {
    ZKEXCL_MRMUTEX mr{};
    if (ZKExclInitMRMutex(&mr, lock_name.c_str(), 0, 0) != 0) {
        ++shared->violations;
        return;
    }
    std::mt19937 rng(seed);
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMillis);
    while (std::chrono::steady_clock::now() < end) {
        bool write = rng() % 4 == 0;
        if (write) {
            if (ZKExclEnterMRMutexWrite(&mr, 50, 0, 0) != 0) continue;
            if (shared->writers.fetch_add(1) != 0 || shared->readers.load() != 0) ++shared->violations;
            std::this_thread::yield();
            if (shared->readers.load() != 0) ++shared->violations;
            shared->writers.fetch_sub(1);
            ++shared->writes;
            if (ZKExclLeaveMRMutexWrite(&mr, 0) != 0) ++shared->violations;
        } else {
            if (ZKExclEnterMRMutexRead(&mr, 50, 0, 0) != 0) continue;
            shared->readers.fetch_add(1);
            if (shared->writers.load() != 0) ++shared->violations;
            std::this_thread::yield();
            if (shared->writers.load() != 0) ++shared->violations;
            shared->readers.fetch_sub(1);
            ++shared->reads;
            if (ZKExclLeaveMRMutexRead(&mr, 0) != 0) ++shared->violations;
        }
    }
    ZKExclDeleteMRMutex(&mr, 0);
}

ZKX_CHILD(mr_stress) {
    HANDLE section = nullptr;
    Shared* shared = map_shared(args.at(1), &section);
    if (!shared) return 1;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreadsPerProcess; ++t)
        threads.emplace_back(hammer, args.at(0), shared, unsigned(getpid() * 31 + t));
    for (auto& th : threads) th.join();
    UnmapViewOfFile(shared);
    CloseHandle(section);
    return 0;
}

TEST(MRMutexStress, ReadersAndWritersOfFourProcessesNeverOverlap) {
    std::string lock = "stress-" + std::to_string(getpid());
    std::string counters = lock + "-counters";
    HANDLE section = nullptr;
    Shared* shared = map_shared(counters, &section);
    ASSERT_NE(shared, nullptr);
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) children.push_back(zkx::test::spawn_child("mr_stress", {lock, counters}));
    for (pid_t child : children) EXPECT_EQ(zkx::test::wait_child(child, 60000), 0);
    EXPECT_EQ(shared->violations.load(), 0);
    EXPECT_GT(shared->reads.load(), 0);
    EXPECT_GT(shared->writes.load(), 0);
    EXPECT_EQ(shared->readers.load(), 0);
    EXPECT_EQ(shared->writers.load(), 0);
    UnmapViewOfFile(shared);
    CloseHandle(section);
}

}  // namespace
