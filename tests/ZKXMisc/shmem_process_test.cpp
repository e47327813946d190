// Several processes on one region: what one writes another reads, four
// random workloads at once keep the heap consistent, and a process killed
// while it holds the heap mutex does not take the heap down with it.
#include "shmem_handle_util.h"
#include "shmem_test_util.h"

using namespace zkx::test;

namespace {

constexpr DWORD kPayload = 32 * 1024;

// The exports, retried while the heap is busy: its waits are 3 ms.
struct ExportedOps : HeapOps {
    explicit ExportedOps(PZKSHMEM_HEAD handle) : h(handle) {}
    BYTE* base() override { return base_of(h); }
    DWORD total() const override { return h->dwTotalSize; }
    template <class Call> DWORD retry(Call call) {
        while (!call())
            if (ZKShMemGetLastError(h) != ERROR_SERVICE_REQUEST_TIMEOUT) return ZKShMemGetLastError(h);
        return 0;
    }
    bool got(void* p, DWORD* offset) {
        if (p) *offset = DWORD(static_cast<BYTE*>(p) - base());
        return p != nullptr;
    }
    DWORD alloc(DWORD n, DWORD id, DWORD* o) override { return retry([&] { return got(ZKShMemAlloc(h, n, id), o); }); }
    DWORD free(DWORD o) override { return retry([&] { return ZKShMemFree(h, base() + o); }); }
    DWORD find(DWORD id, DWORD* o) override { return retry([&] { return got(ZKShMemFindMemory(h, id), o); }); }
    DWORD change_id(DWORD o, DWORD id) override { return retry([&] { return ZKShMemChangeID(h, base() + o, id); }); }
    PZKSHMEM_HEAD h;
};

// args: region name, id base.  Reads the parent's block, runs a workload,
// and the first worker leaves a block of its own.
ZKX_CHILD(shmem_worker) {
    PZKSHMEM_HEAD h = open_shmem(args.at(0), kPayload);
    const char* text = static_cast<const char*>(ZKShMemFindMemory(h, 42));
    if (!text || std::strcmp(text, "from the parent") != 0) return 1;
    const DWORD id_base = std::stoul(args.at(1));
    ExportedOps ops(h);
    const std::string fault = run_workload(ops, Workload{id_base, 4000, id_base, false, [h] { return check(h); }});
    if (!fault.empty()) std::fprintf(stderr, "worker %lu: %s\n", (unsigned long)id_base, fault.c_str());
    if (id_base == 1000) std::strcpy(static_cast<char*>(ZKShMemAlloc(h, 32, 43)), "from the child");
    return fault.empty() ? ZKShMemClose(h) : 1;
}

// args: region name, event name, "scribble" or not.  Allocates, takes the
// heap mutex itself, perhaps writes over the heap's counters, says so and
// waits to be killed.
ZKX_CHILD(shmem_holder) {
    PZKSHMEM_HEAD h = open_shmem(args.at(0), kPayload);
    HANDLE heap = CreateMutexA(nullptr, FALSE, ("ZKMUTEX_" + args.at(0)).c_str());
    if (!ZKShMemAlloc(h, 16, 7) || WaitForSingleObject(heap, 10000) != WAIT_OBJECT_0) return 1;
    if (args.at(2) == "scribble") base_of(h)[24] ^= 0x10;
    SetEvent(CreateEventA(nullptr, TRUE, FALSE, args.at(1).c_str()));
    Sleep(60000);
    return 2;
}

TEST(ShMemProcesses, FourRandomWorkloadsAtOnceAndWhatOneWritesTheOtherReads) {
    PZKSHMEM_HEAD h = open_shmem("busy", kPayload);
    std::strcpy(static_cast<char*>(ZKShMemAlloc(h, 32, 42)), "from the parent");
    std::vector<pid_t> children;
    for (int i = 1; i <= 4; ++i) children.push_back(spawn_child("shmem_worker", {"busy", std::to_string(1000 * i)}));
    for (pid_t child : children) EXPECT_EQ(wait_child(child, 120000), 0);
    // The children's handles are closed; the block one left stays.
    const char* reply = static_cast<const char*>(ZKShMemFindMemory(h, 43));
    ASSERT_NE(reply, nullptr);
    EXPECT_STREQ(reply, "from the child");
    ZKSHMEM_CHECK result;
    EXPECT_EQ(zkshmem_check_handle(h, 2000, &result), 0u) << result.szText;
    // The workloads freed everything: the free room lies before and after 43.
    EXPECT_TRUE(result.dwUsedBlocks == 2 && result.dwFreeBlocks <= 2) << result.szText;
    ZKShMemClose(h);
}

// A holder that only held the mutex leaves a usable heap; one that wrote
// over the bookkeeping leaves a heap on which every later call fails.
TEST(ShMemProcesses, HolderKilledInsideTheHeapLeavesItUsableOrStopped) {
    for (std::string how : {"clean", "scribble"}) {
        const std::string name = "killed-" + how;
        PZKSHMEM_HEAD h = open_shmem(name, kPayload);
        HANDLE held = CreateEventA(nullptr, TRUE, FALSE, (name + "-held").c_str());
        pid_t child = spawn_child("shmem_holder", {name, name + "-held", how});
        ASSERT_EQ(WaitForSingleObject(held, 30000), WAIT_OBJECT_0);
        EXPECT_EQ(ZKShMemAlloc(h, 16, 8), nullptr);
        EXPECT_EQ(ZKShMemGetLastError(h), DWORD(ERROR_SERVICE_REQUEST_TIMEOUT));
        kill_child(child);
        EXPECT_EQ(wait_child(child), kKilledStatus);
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

}  // namespace
