// The exports on a real region, its damaged mark and repair, the trace lines,
// and several processes on one region.
#include <cstdio>

#include "ZKMiscPriv.h"
#include "ZKShMemRepair.h"
#include "dlog_test_util.h"
#include "misc_test_util.h"
#include "shmem_handle_util.h"

using namespace zkx::test;

namespace {

TEST(ShMemOpen, NamesSizesAccessTranslationsAndTheLastError) {
    PZKSHMEM_HEAD h = nullptr;
    const std::string longest(32, 'n'), too_long(33, 'n');
    ASSERT_EQ(ZKShMemClose(open_shmem(longest)), 0u);
    const size_t handles = open_handles();  // after whatever the process keeps for good
    ASSERT_EQ(ZKShMemClose(open_shmem(longest)), 0u);
    EXPECT_EQ(open_handles(), handles) << "every handle an open made, the lookup section's too, goes with its close";
    // Refusals create nothing and leave the handle variable null (untouched
    // when the name is missing).
    const struct { const char* name; DWORD size, access, result; } refused[] = {
        {nullptr, 100, ZKSHMEM_READWRITE, ERROR_INVALID_HANDLE}, {"r", 0, ZKSHMEM_READWRITE, ERROR_INVALID_PARAMETER},
        {too_long.c_str(), 100, ZKSHMEM_READWRITE, ERROR_INVALID_PARAMETER}, {"r", 100, 2, ERROR_INVALID_PARAMETER},
        {"r", 2454267009u, ZKSHMEM_READWRITE, ERROR_INVALID_PARAMETER}, {"r", 1, ZKSHMEM_READONLY, ERROR_OPEN_FAILED}};
    for (const auto& c : refused) {
        h = reinterpret_cast<PZKSHMEM_HEAD>(1);
        EXPECT_EQ(ZKShMemOpen(&h, c.size, c.access, c.name), c.result) << c.size;
        EXPECT_EQ(h, c.name ? nullptr : reinterpret_cast<PZKSHMEM_HEAD>(1));
    }
    EXPECT_EQ(ZKShMemOpen(nullptr, 100, ZKSHMEM_READWRITE, "r"), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(ZKShMemClose(nullptr), DWORD(ERROR_INVALID_PARAMETER));

    ASSERT_EQ(ZKShMemOpen(&h, 1000, ZKSHMEM_READWRITE, "r"), 0u);
    BYTE* base = base_of(h);
    EXPECT_EQ(bytes_of(h), PlainRegion(1000).bytes) << "the first layout";
    EXPECT_EQ(ZKShMemIndexAddress(h, 1), base + 1780);
    EXPECT_TRUE(ZKShMemGetAddress(h, 1796) == base + 1796 && ZKShMemGetOffset(h, base + 1796) == 1796);
    EXPECT_EQ(ZKShMemGetLastError(h), 0u);
    EXPECT_TRUE(!ZKShMemGetAddress(h, 1797) && ZKShMemGetLastError(h) == ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ZKShMemGetOffset(h, base + 1797) + ZKShMemGetOffset(h, base - 1) + ZKShMemGetOffset(h, base), 0u);
    // The latest failure stays until the next one, whatever succeeds between.
    void* const a = ZKShMemAlloc(h, 10, 1);
    ASSERT_TRUE(a && ZKShMemGetLastError(h) == ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(!ZKShMemAlloc(h, 5000, 2) && ZKShMemGetLastError(h) == ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_TRUE(!ZKShMemFindMemory(h, 77) && ZKShMemGetLastError(h) == ERROR_SERVICE_NOT_FOUND);
    // The reserved id, a null address, one outside the region.
    EXPECT_FALSE(ZKShMemAlloc(h, 1, ZKSHMEM_FREE_ID) || ZKShMemFree(h, nullptr) || ZKShMemChangeID(h, base + 2000, 1) ||
                 ZKShMemChangeID(h, a, ZKSHMEM_FREE_ID) || ZKShMemFindMemory(h, ZKSHMEM_FREE_ID));
    EXPECT_EQ(ZKShMemGetLastError(h), DWORD(ERROR_INVALID_PARAMETER));
    // A null handle fails quietly.
    EXPECT_FALSE(ZKShMemAlloc(nullptr, 1, 1) || ZKShMemFree(nullptr, a) || ZKShMemFindMemory(nullptr, 1) ||
                 ZKShMemChangeID(nullptr, a, 1) || ZKShMemBaseAddress(nullptr) || ZKShMemGetAddress(nullptr, 0) ||
                 ZKShMemGetOffset(nullptr, a) || ZKShMemGetLastError(nullptr) || ZKShMemIndexAddress(nullptr, 1));
    EXPECT_EQ(ZKShMemClose(h), 0u);
}

// Each handle looks for the index table at the end of its own size, so a
// second opener that gives another size is refused and gets no handle; the
// first opener's blocks stay intact and found.  The child's args: size, access.
bool refused_with_size(DWORD size, DWORD access) {
    PZKSHMEM_HEAD h = nullptr;
    return ZKShMemOpen(&h, size, access, "sized") == ERROR_INVALID_PARAMETER && h == nullptr;
}

ZKX_CHILD(shmem_other_size) { return refused_with_size(std::stoul(args.at(0)), std::stoul(args.at(1))) ? 0 : 1; }

// 999 puts a smaller opener's index table off the entry grid, 992 on it.
TEST(ShMemOpen, AnotherSizeThanTheFirstOpenersIsRefusedAndHarmsNothing) {
    for (DWORD size : {1001u, 999u, 992u})
        for (DWORD access : {ZKSHMEM_READONLY, ZKSHMEM_READWRITE})
            for (bool other_process : {false, true}) {
                SCOPED_TRACE(std::to_string(size) + (access ? " writer" : " reader") + (other_process ? " child" : ""));
                PZKSHMEM_HEAD first = open_shmem("sized");
                void *a = ZKShMemAlloc(first, 10, 1), *b = ZKShMemAlloc(first, 100, 2);
                ASSERT_TRUE(a && b && ZKShMemFree(first, b) && ZKShMemAlloc(first, 30, 3));
                const Bytes before = bytes_of(first);
                if (other_process) {
                    const pid_t child = spawn_child("shmem_other_size", {std::to_string(size), std::to_string(access)});
                    EXPECT_EQ(wait_child(child), 0);
                } else {
                    EXPECT_TRUE(refused_with_size(size, access));
                }
                EXPECT_EQ(ZKShMemFindMemory(first, 1), a) << ZKShMemGetLastError(first);
                EXPECT_TRUE(bytes_of(first) == before);
                ZKShMemClose(first);
                // Nothing of the name is left once its first opener has gone.
                EXPECT_EQ(open_shmem("sized", 1000, ZKSHMEM_READONLY), nullptr);
            }
}

// One line per call, whatever its outcome; a name is printed as it is, never
// taken as a format.
TEST(ShMemTrace, OneLinePerCallInEveryOutcome) {
    zkx::test::CapturedLog log("ZKShMem", 0x0080, 0xFFFF);
    g_hZKShMemLog = log.handle();
    PZKSHMEM_HEAD h = open_shmem("tr%s");
    char hdl[16];
    std::snprintf(hdl, sizeof hdl, "0x%x", unsigned(UINT_PTR(h)));
    ZKShMemGetAddress(h, 5000);  // translations write nothing
    ZKShMemClose(h);
    ZKShMemOpen(&h, 7, ZKSHMEM_READONLY, std::string(5000, 'x').c_str());
    g_hZKShMemLog = nullptr;
    const std::string expected[] = {
        "[ZKShMemOpen] hdl = " + std::string(hdl) + ", size = 1000, access = ReadWrite, name = tr%s, return value = 0",
        "[ZKShMemClose] hdl = " + std::string(hdl) + ", return value = 0",
        // A refused long name is cut to fit the 512-byte line.
        "[ZKShMemOpen] hdl = 0x0, size = 7, access = ReadOnly, name = " + std::string(400, 'x') + ", return value = 87",
    };
    const auto lines = log.file_lines();
    ASSERT_EQ(lines.size(), std::size(expected));
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].substr(lines[i].find(", ZKShMem , CHK, ") + 17), expected[i] + "\r\n") << lines[i];
}

// A reader neither repairs nor trusts a half-changed heap; the next writer rolls
// it back.  Damage no journal explains, once seen by the checker, fails every
// call until a writer's repair rebuilds the bookkeeping.
TEST(ShMemRepairHandles, HalfDoneWorkIsRolledBackAndDamageStopsEveryCallUntilTheRepair) {
    PZKSHMEM_HEAD h = open_shmem("rep"), reader = open_shmem("rep", 1000, ZKSHMEM_READONLY);
    char* a = static_cast<char*>(ZKShMemAlloc(h, 40, 11));
    char* b = static_cast<char*>(ZKShMemAlloc(h, 20, 12));
    void* seen = ZKShMemFindMemory(reader, 12);
    ASSERT_TRUE(reader && a && b && seen);
    const Bytes before = bytes_of(h);
    EXPECT_FALSE(ZKShMemAlloc(reader, 1, 1) || ZKShMemFree(reader, seen) || ZKShMemChangeID(reader, seen, 1));
    EXPECT_EQ(ZKShMemGetLastError(reader), DWORD(ERROR_INVALID_ACCESS));
    leave_half_done(h);
    EXPECT_TRUE(!ZKShMemFindMemory(reader, 12) && ZKShMemGetLastError(reader) == ERROR_FILE_CORRUPT);
    EXPECT_EQ(check(reader), "") << "a reader checks the heap as the rollback will leave it";
    EXPECT_EQ(ZKShMemFindMemory(h, 12), b);
    EXPECT_EQ(bytes_of(h), before);

    a[44] ^= 0x55;  // past the caller's 44 bytes: a's upper tag
    EXPECT_NE(check(h), "");
    EXPECT_FALSE(ZKShMemAlloc(h, 10, 13) || ZKShMemFree(h, b) || ZKShMemChangeID(h, b, 3) || ZKShMemFindMemory(h, 12));
    EXPECT_EQ(ZKShMemGetLastError(h), DWORD(ERROR_FILE_CORRUPT));
    ZKSHMEM_REPAIR rep;
    EXPECT_EQ(zkshmem_repair_handle(reader, 2000, &rep), DWORD(ERROR_INVALID_ACCESS));
    EXPECT_EQ(ZKShMemAlloc(h, 10, 13), nullptr) << "a reader cannot repair";
    EXPECT_EQ(zkshmem_repair_handle(h, 2000, &rep), 0u) << rep.szText;
    EXPECT_EQ(ZKShMemGetOffset(reader, ZKShMemFindMemory(reader, 12)), ZKShMemGetOffset(h, b));
    EXPECT_NE(ZKShMemAlloc(h, 10, 13), nullptr);
    // The repair rolls half-done work back first, as any call would; what
    // is left is consistent and needs no rebuild.
    leave_half_done(h);
    EXPECT_EQ(zkshmem_repair_handle(h, 2000, &rep), 0u) << rep.szText;
    EXPECT_TRUE(rep.dwRolledBack == 1 && rep.dwRebuilt == 0 && zkshmem_journal(h)->dwCount == 0);
    ZKShMemClose(reader);
    ZKShMemClose(h);
}

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

// args: region name, id base.  Reads the parent's block, runs a workload.
ZKX_CHILD(shmem_worker) {
    PZKSHMEM_HEAD h = open_shmem(args.at(0), kPayload);
    ExportedOps ops(h);
    DWORD at = 0;
    if (ops.find(42, &at) != 0 || std::strcmp(reinterpret_cast<char*>(ops.base() + at), "from the parent")) return 1;
    const DWORD id_base = std::stoul(args.at(1));
    const std::string fault = run_workload(ops, Workload{id_base, 4000, id_base, false, [h] { return check(h); }});
    if (!fault.empty()) std::fprintf(stderr, "worker %lu: %s\n", (unsigned long)id_base, fault.c_str());
    return fault.empty() ? ZKShMemClose(h) : 1;
}

// args: region name, event name.  Takes the heap's mutexes itself, writes
// over the heap's counters, says so and waits to be killed.
ZKX_CHILD(shmem_holder) {
    PZKSHMEM_HEAD h = open_shmem(args.at(0), kPayload);
    for (const char* prefix : {"ZKMUTEX_", "ZK_Open_Mutex_Name_"}) {
        HANDLE m = CreateMutexA(nullptr, FALSE, (prefix + args.at(0)).c_str());
        if (!h || WaitForSingleObject(m, 10000) != WAIT_OBJECT_0) return 1;
    }
    base_of(h)[24] ^= 0x10;
    SetEvent(CreateEventA(nullptr, TRUE, FALSE, args.at(1).c_str()));
    Sleep(60000);
    return 2;
}

// Four workloads at once keep the heap consistent.  While another process
// holds the heap's mutexes, calls and opens time out; killed after a stray
// write over the bookkeeping, it leaves a heap on which every call fails.
TEST(ShMemProcesses, WorkloadsAtOnceAndAHolderKilledAfterAStrayWriteStopsTheHeap) {
    PZKSHMEM_HEAD h = open_shmem("busy", kPayload);
    char* mine = static_cast<char*>(ZKShMemAlloc(h, 32, 42));
    std::strcpy(mine, "from the parent");
    std::vector<pid_t> children;
    for (int i = 1; i <= 4; ++i) children.push_back(spawn_child("shmem_worker", {"busy", std::to_string(1000 * i)}));
    for (pid_t child : children) EXPECT_EQ(wait_child(child, 120000), 0);
    ZKSHMEM_CHECK result;
    EXPECT_EQ(zkshmem_check_handle(h, 2000, &result), 0u) << result.szText;
    // The workloads freed everything: one free block above ours.
    EXPECT_TRUE(result.dwUsedBlocks == 1 && result.dwFreeBlocks == 1) << result.szText;

    HANDLE held = CreateEventA(nullptr, TRUE, FALSE, "busy-held");
    const pid_t holder = spawn_child("shmem_holder", {"busy", "busy-held"});
    ASSERT_EQ(WaitForSingleObject(held, 30000), WAIT_OBJECT_0);
    const Bytes before = bytes_of(h);
    EXPECT_FALSE(ZKShMemAlloc(h, 10, 2) || ZKShMemFree(h, mine) || ZKShMemChangeID(h, mine, 3) ||
                 ZKShMemFindMemory(h, 42));
    EXPECT_EQ(ZKShMemGetLastError(h), DWORD(ERROR_SERVICE_REQUEST_TIMEOUT));
    PZKSHMEM_HEAD other = reinterpret_cast<PZKSHMEM_HEAD>(1);
    EXPECT_TRUE(ZKShMemOpen(&other, kPayload, ZKSHMEM_READWRITE, "busy") == ERROR_SERVICE_REQUEST_TIMEOUT && !other);
    EXPECT_EQ(bytes_of(h), before);
    kill_child(holder);
    EXPECT_EQ(wait_child(holder), kKilledStatus);
    EXPECT_EQ(ZKShMemClose(open_shmem("busy", kPayload)), 0u) << "an abandoned open mutex stops no open";
    EXPECT_FALSE(ZKShMemAlloc(h, 16, 8) || ZKShMemFindMemory(h, 42));
    EXPECT_EQ(ZKShMemGetLastError(h), DWORD(ERROR_FILE_CORRUPT));
    ZKShMemClose(h);
}

}  // namespace
