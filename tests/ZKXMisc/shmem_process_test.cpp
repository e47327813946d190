// Several processes on one region: what one writes another reads, four
// random workloads at once keep the heap consistent, and a process killed
// while it holds the heap mutex does not take the heap down with it.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "ZKShMemPriv.h"
#include "child.h"
#include "shmem_test_util.h"

namespace {

constexpr DWORD kPayload = 32 * 1024;

BYTE* base_of(PZKSHMEM_HEAD h) { return static_cast<BYTE*>(ZKShMemBaseAddress(h)); }

// Callers retry while the heap or its opening is busy: the waits are 3 ms.
PZKSHMEM_HEAD open(const std::string& name) {
    PZKSHMEM_HEAD h = nullptr;
    while (ZKShMemOpen(&h, kPayload, ZKSHMEM_READWRITE, name.c_str()) == 1053) {
    }
    return h;
}

std::string check(PZKSHMEM_HEAD h) {
    ZKSHMEM_CHECK result;
    const DWORD r = zkshmem_check_handle(h, 2000, &result);
    return r == 0 ? "" : "check " + std::to_string(r) + ": " + result.szText;
}

struct ExportedOps : zkx::test::HeapOps {
    explicit ExportedOps(PZKSHMEM_HEAD handle) : h(handle) {}
    template <class Call> DWORD retry(Call call) {
        while (!call())
            if (ZKShMemGetLastError(h) != 1053) return ZKShMemGetLastError(h);
        return 0;
    }
    bool found(void* p, DWORD* offset) {
        if (p) *offset = DWORD(static_cast<BYTE*>(p) - base_of(h));
        return p != nullptr;
    }
    DWORD alloc(DWORD size, DWORD id, DWORD* o) override { return retry([&] { return found(ZKShMemAlloc(h, size, id), o); }); }
    DWORD free(DWORD o) override { return retry([&] { return ZKShMemFree(h, base_of(h) + o); }); }
    DWORD find(DWORD id, DWORD* o) override { return retry([&] { return found(ZKShMemFindMemory(h, id), o); }); }
    DWORD change_id(DWORD o, DWORD id) override { return retry([&] { return ZKShMemChangeID(h, base_of(h) + o, id); }); }
    PZKSHMEM_HEAD h;
};

std::string run(PZKSHMEM_HEAD h, uint32_t seed, int steps, DWORD id_base) {
    ExportedOps ops(h);
    const zkx::test::Workload w{seed, steps, id_base, false, [h] { return check(h); }};
    return run_workload(ops, base_of(h), h->dwTotalSize, w);
}

// args: region name.  Reads the parent's block, leaves one of its own.
ZKX_CHILD(shmem_peer) {
    PZKSHMEM_HEAD h = open(args.at(0));
    const char* text = static_cast<const char*>(ZKShMemFindMemory(h, 42));
    if (!text || std::strcmp(text, "from the parent") != 0) return 1;
    std::strcpy(static_cast<char*>(ZKShMemAlloc(h, 32, 43)), "from the child");
    return ZKShMemClose(h);
}

// args: region name, id base.
ZKX_CHILD(shmem_worker) {
    PZKSHMEM_HEAD h = open(args.at(0));
    const DWORD id_base = std::stoul(args.at(1));
    const std::string fault = run(h, id_base, 4000, id_base);
    if (!fault.empty()) std::fprintf(stderr, "worker %lu: %s\n", (unsigned long)id_base, fault.c_str());
    return fault.empty() ? 0 : 1;
}

// args: region name, event name, "scribble" or not.  Allocates, takes the
// heap mutex itself, perhaps writes over the heap's counters, says so and
// waits to be killed.
ZKX_CHILD(shmem_holder) {
    PZKSHMEM_HEAD h = open(args.at(0));
    HANDLE heap = CreateMutexA(nullptr, FALSE, ("ZKMUTEX_" + args.at(0)).c_str());
    if (!ZKShMemAlloc(h, 16, 7) || WaitForSingleObject(heap, 10000) != WAIT_OBJECT_0) return 1;
    if (args.at(2) == "scribble") base_of(h)[24] ^= 0x10;
    SetEvent(CreateEventA(nullptr, TRUE, FALSE, args.at(1).c_str()));
    Sleep(60000);
    return 2;
}

// args: region name, event name.  Allocates and frees without end.
ZKX_CHILD(shmem_hammer) {
    PZKSHMEM_HEAD h = open(args.at(0));
    std::mt19937 rng(std::random_device{}());
    std::vector<void*> blocks;
    for (int i = 0;; ++i) {
        if (i == 100) SetEvent(CreateEventA(nullptr, TRUE, FALSE, args.at(1).c_str()));
        if (blocks.size() < 40 && rng() % 2) {
            if (void* p = ZKShMemAlloc(h, rng() % 200, 1000 + rng() % 8)) blocks.push_back(p);
        } else if (!blocks.empty() && ZKShMemFree(h, blocks.back())) {
            blocks.pop_back();
        }
    }
}

TEST(ShMemProcesses, WhatOneProcessWritesTheOtherReads) {
    PZKSHMEM_HEAD h = open("shared");
    std::strcpy(static_cast<char*>(ZKShMemAlloc(h, 32, 42)), "from the parent");
    ASSERT_EQ(zkx::test::wait_child(zkx::test::spawn_child("shmem_peer", {"shared"})), 0);
    // The child's handle is closed; its block stays.
    const char* reply = static_cast<const char*>(ZKShMemFindMemory(h, 43));
    ASSERT_NE(reply, nullptr);
    EXPECT_STREQ(reply, "from the child");
    ZKShMemClose(h);
}

TEST(ShMemProcesses, FourRandomWorkloadsAtOnce) {
    PZKSHMEM_HEAD h = open("busy");
    std::vector<pid_t> children;
    for (int i = 1; i <= 4; ++i) children.push_back(zkx::test::spawn_child("shmem_worker", {"busy", std::to_string(1000 * i)}));
    for (pid_t child : children) EXPECT_EQ(zkx::test::wait_child(child, 120000), 0);
    ZKSHMEM_CHECK result;
    EXPECT_EQ(zkshmem_check_handle(h, 2000, &result), 0u) << result.szText;
    EXPECT_EQ(result.dwBlocks, 1u) << "everything was freed";
    ZKShMemClose(h);
}

// A holder that only held the mutex leaves a usable heap; one that wrote
// over the bookkeeping leaves a heap on which every later call fails.
TEST(ShMemProcesses, HolderKilledInsideTheHeapLeavesItUsableOrStopped) {
    for (std::string how : {"clean", "scribble"}) {
        const std::string name = "killed-" + how;
        PZKSHMEM_HEAD h = open(name);
        HANDLE held = CreateEventA(nullptr, TRUE, FALSE, (name + "-held").c_str());
        pid_t child = zkx::test::spawn_child("shmem_holder", {name, name + "-held", how});
        ASSERT_EQ(WaitForSingleObject(held, 30000), WAIT_OBJECT_0);
        EXPECT_EQ(ZKShMemAlloc(h, 16, 8), nullptr);
        EXPECT_EQ(ZKShMemGetLastError(h), 1053u);
        zkx::test::kill_child(child);
        EXPECT_EQ(zkx::test::wait_child(child), zkx::test::kKilledStatus);
        ExportedOps ops(h);
        DWORD offset;
        const DWORD expected = how == "clean" ? 0 : ERROR_FILE_CORRUPT;
        EXPECT_EQ(ops.alloc(16, 8, &offset), expected);
        EXPECT_EQ(ops.find(7, &offset), expected) << "the dead process's block is still there";
        EXPECT_EQ(check(h).empty(), how == "clean");
        CloseHandle(held);
        ZKShMemClose(h);
    }
}

// Killed at a random moment, perhaps inside an operation: the next caller
// finds the heap whole, as if the operation had run to its end or never
// started.
TEST(ShMemProcesses, WorkerKilledAtAnyMomentLeavesAConsistentHeap) {
    std::mt19937 rng(5);
    for (int round = 0; round < 4; ++round) {
        const std::string name = "hammered" + std::to_string(round);
        PZKSHMEM_HEAD h = open(name);
        HANDLE started = CreateEventA(nullptr, TRUE, FALSE, (name + "-started").c_str());
        pid_t child = zkx::test::spawn_child("shmem_hammer", {name, name + "-started"});
        ASSERT_EQ(WaitForSingleObject(started, 30000), WAIT_OBJECT_0);
        Sleep(1 + rng() % 10);
        zkx::test::kill_child(child);
        zkx::test::wait_child(child);

        ExportedOps ops(h);
        DWORD offset;
        EXPECT_EQ(ops.alloc(16, 1, &offset), 0u);
        EXPECT_EQ(check(h), "");
        EXPECT_EQ(run(h, round, 300, 5000), "");
        CloseHandle(started);
        ZKShMemClose(h);
    }
}

}  // namespace
