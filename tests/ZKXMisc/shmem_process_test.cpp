// Several processes on one region: what one writes the others read, four
// random workloads at once keep the heap consistent, and a process killed
// while it holds the heap mutex does not take the heap down with it.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ZKShMemPriv.h"
#include "child.h"
#include "shmem_test_util.h"

namespace {

constexpr DWORD kPayload = 32 * 1024;

BYTE* base_of(PZKSHMEM_HEAD h) { return static_cast<BYTE*>(ZKShMemBaseAddress(h)); }

std::string check(PZKSHMEM_HEAD h, ZKSHMEM_CHECK* result = nullptr) {
    ZKSHMEM_CHECK local;
    if (!result) result = &local;
    DWORD r = zkshmem_check_handle(h, 2000, result);
    return r == 0 ? "" : "check gave " + std::to_string(r) + ": " + result->szText;
}

// The exported operations as a workload sees them.  A busy heap is retried,
// as callers must: the wait is only 3 ms.
struct ExportedOps : zkx::test::HeapOps {
    explicit ExportedOps(PZKSHMEM_HEAD handle) : h(handle) {}
    template <class Call>
    DWORD retry(Call call) {
        for (;;) {
            if (call()) return 0;
            const DWORD code = ZKShMemGetLastError(h);
            if (code != ERROR_SERVICE_REQUEST_TIMEOUT) return code;
        }
    }
    DWORD offset_of(const void* p) { return DWORD(static_cast<const BYTE*>(p) - base_of(h)); }
    DWORD alloc(DWORD size, DWORD id, DWORD* offset) override {
        return retry([&] {
            void* p = ZKShMemAlloc(h, size, id);
            if (p) *offset = offset_of(p);
            return p != nullptr;
        });
    }
    DWORD free(DWORD offset) override {
        return retry([&] { return ZKShMemFree(h, base_of(h) + offset) != FALSE; });
    }
    DWORD find(DWORD id, DWORD* offset) override {
        return retry([&] {
            void* p = ZKShMemFindMemory(h, id);
            if (p) *offset = offset_of(p);
            return p != nullptr;
        });
    }
    DWORD change_id(DWORD offset, DWORD id) override {
        return retry([&] { return ZKShMemChangeID(h, base_of(h) + offset, id) != FALSE; });
    }
    PZKSHMEM_HEAD h;
};

PZKSHMEM_HEAD open_retrying(const std::string& name, DWORD access = ZKSHMEM_READWRITE) {
    PZKSHMEM_HEAD h = nullptr;
    DWORD r;
    while ((r = ZKShMemOpen(&h, kPayload, access, name.c_str())) == ERROR_SERVICE_REQUEST_TIMEOUT) {
    }
    return r == 0 ? h : nullptr;
}

std::string check_handle(void* ctx) { return check(static_cast<PZKSHMEM_HEAD>(ctx)); }

// --- children ------------------------------------------------------------------

// args: region name.  Reads the parent's block, leaves one of its own.
ZKX_CHILD(shmem_peer) {
    PZKSHMEM_HEAD h = open_retrying(args.at(0));
    if (!h) return 10;
    const char* text = static_cast<const char*>(ZKShMemFindMemory(h, 42));
    if (!text || std::strcmp(text, "from the parent") != 0) return 11;
    char* reply = static_cast<char*>(ZKShMemAlloc(h, 32, 43));
    if (!reply) return 12;
    std::strcpy(reply, "from the child");
    ZKShMemClose(h);
    return 0;
}

// args: region name, id base, seed, steps.
ZKX_CHILD(shmem_worker) {
    PZKSHMEM_HEAD h = open_retrying(args.at(0));
    if (!h) return 10;
    ExportedOps ops(h);
    DWORD total = 0;
    zkshmem_region_size(kPayload, &total);
    const std::string fault = zkx::test::run_random_workload(
        ops, base_of(h), total, std::stoul(args.at(2)), std::stoi(args.at(3)),
        std::stoul(args.at(1)), check_handle, h, false);
    ZKShMemClose(h);
    if (fault.empty()) return 0;
    std::fprintf(stderr, "worker %s: %s\n", args.at(1).c_str(), fault.c_str());
    return 1;
}

// args: region name, event name.  Takes the heap mutex itself, says so, and
// waits to be killed.
ZKX_CHILD(shmem_holder) {
    PZKSHMEM_HEAD h = open_retrying(args.at(0));
    if (!h || !ZKShMemAlloc(h, 16, 7)) return 10;
    HANDLE heap = CreateMutexA(nullptr, FALSE, ("ZKMUTEX_" + args.at(0)).c_str());
    if (WaitForSingleObject(heap, 10000) != WAIT_OBJECT_0) return 11;
    SetEvent(CreateEventA(nullptr, TRUE, FALSE, args.at(1).c_str()));
    Sleep(60000);
    return 12;
}

// args: region name, event name.  Allocates and frees without end.
ZKX_CHILD(shmem_hammer) {
    PZKSHMEM_HEAD h = open_retrying(args.at(0));
    if (!h) return 10;
    HANDLE started = CreateEventA(nullptr, TRUE, FALSE, args.at(1).c_str());
    std::mt19937 rng(std::random_device{}());
    std::vector<void*> blocks;
    for (unsigned long i = 0;; ++i) {
        if (i == 100) SetEvent(started);
        if (blocks.size() < 40 && rng() % 2) {
            if (void* p = ZKShMemAlloc(h, rng() % 200, 1000 + rng() % 8)) blocks.push_back(p);
        } else if (!blocks.empty()) {
            const size_t k = rng() % blocks.size();
            if (ZKShMemFree(h, blocks[k])) blocks.erase(blocks.begin() + long(k));
        }
    }
}

// --- tests ---------------------------------------------------------------------

TEST(ShMemProcesses, WhatOneProcessWritesTheOtherReads) {
    PZKSHMEM_HEAD h = open_retrying("shared");
    ASSERT_NE(h, nullptr);
    char* text = static_cast<char*>(ZKShMemAlloc(h, 32, 42));
    ASSERT_NE(text, nullptr);
    std::strcpy(text, "from the parent");
    ASSERT_EQ(zkx::test::wait_child(zkx::test::spawn_child("shmem_peer", {"shared"})), 0);
    // The child closed its handle; its block stays until someone frees it.
    const char* reply = static_cast<const char*>(ZKShMemFindMemory(h, 43));
    ASSERT_NE(reply, nullptr);
    EXPECT_STREQ(reply, "from the child");
    EXPECT_EQ(check(h), "");
    EXPECT_EQ(ZKShMemClose(h), 0u);
}

TEST(ShMemProcesses, FourRandomWorkloadsAtOnce) {
    PZKSHMEM_HEAD h = open_retrying("busy");
    ASSERT_NE(h, nullptr);
    std::vector<pid_t> children;
    for (int i = 0; i < 4; ++i)
        children.push_back(zkx::test::spawn_child(
            "shmem_worker", {"busy", std::to_string(1000 * (i + 1)), std::to_string(11 + i), "1500"}));
    for (pid_t child : children) EXPECT_EQ(zkx::test::wait_child(child, 120000), 0);
    // Every worker freed what it allocated: one free block is left.
    ZKSHMEM_CHECK result;
    EXPECT_EQ(check(h, &result), "");
    EXPECT_EQ(result.dwBlocks, 1u);
    EXPECT_EQ(ZKShMemClose(h), 0u);
}

TEST(ShMemProcesses, HolderKilledInsideTheHeapLeavesItUsable) {
    PZKSHMEM_HEAD h = open_retrying("killed");
    ASSERT_NE(h, nullptr);
    HANDLE held = CreateEventA(nullptr, TRUE, FALSE, "held");
    pid_t child = zkx::test::spawn_child("shmem_holder", {"killed", "held"});
    ASSERT_EQ(WaitForSingleObject(held, 30000), WAIT_OBJECT_0);
    EXPECT_EQ(ZKShMemAlloc(h, 16, 8), nullptr);
    EXPECT_EQ(ZKShMemGetLastError(h), 1053u);

    kill(child, SIGKILL);
    EXPECT_EQ(zkx::test::wait_child(child), 128 + SIGKILL);
    ExportedOps ops(h);
    DWORD offset = 0;
    ASSERT_EQ(ops.alloc(16, 8, &offset), 0u);
    EXPECT_EQ(ops.find(7, &offset), 0u) << "the dead process's block is still there";
    EXPECT_EQ(check(h), "");
    CloseHandle(held);
    EXPECT_EQ(ZKShMemClose(h), 0u);
}

// Killed at a random moment, perhaps inside an operation: the first caller
// after it is told if the heap was left damaged, and nobody crashes.
TEST(ShMemProcesses, WorkerKilledAtAnyMomentIsDetected) {
    std::mt19937 rng(5);
    for (int round = 0; round < 4; ++round) {
        const std::string name = "hammered" + std::to_string(round);
        PZKSHMEM_HEAD h = open_retrying(name);
        ASSERT_NE(h, nullptr);
        HANDLE started = CreateEventA(nullptr, TRUE, FALSE, (name + "-started").c_str());
        pid_t child = zkx::test::spawn_child("shmem_hammer", {name, name + "-started"});
        ASSERT_EQ(WaitForSingleObject(started, 30000), WAIT_OBJECT_0);
        Sleep(1 + rng() % 10);
        kill(child, SIGKILL);
        zkx::test::wait_child(child);

        ExportedOps ops(h);
        DWORD offset = 0;
        const DWORD first = ops.alloc(16, 1, &offset);
        const std::string verdict = check(h);
        EXPECT_TRUE(first == 0 || first == ERROR_FILE_CORRUPT) << first;
        EXPECT_EQ(first == ERROR_FILE_CORRUPT, !verdict.empty()) << verdict;
        if (verdict.empty()) {
            EXPECT_EQ(zkx::test::run_random_workload(ops, base_of(h), h->dwTotalSize, round, 300,
                                                     5000, check_handle, h, false),
                      "");
        } else {
            for (DWORD id = 0; id < 50; ++id) {
                const DWORD r = ops.alloc(id * 7, id, &offset);
                EXPECT_TRUE(r == 0 || r == ERROR_NOT_ENOUGH_MEMORY || r == ERROR_FILE_CORRUPT) << r;
                ops.find(1000 + id % 8, &offset);
            }
        }
        CloseHandle(started);
        ZKShMemClose(h);
    }
}

}  // namespace
