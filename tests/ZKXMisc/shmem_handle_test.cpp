// The exports on a real region: names, sizes, access, translations, the
// last-error rule, the heap mutex and the trace lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "ZKMiscPriv.h"
#include "ZKShMemPriv.h"
#include "dlog_test_util.h"
#include "shmem_test_util.h"

namespace {

BYTE* base_of(PZKSHMEM_HEAD h) { return static_cast<BYTE*>(ZKShMemBaseAddress(h)); }
PZKSHMEM_HEAD open(const char* name, DWORD access = ZKSHMEM_READWRITE, DWORD size = 1000) {
    PZKSHMEM_HEAD h = nullptr;
    return ZKShMemOpen(&h, size, access, name) == 0 ? h : nullptr;
}

TEST(ShMemOpen, NamesSizesAndAccessValues) {
    PZKSHMEM_HEAD h = nullptr;
    const std::string longest(32, 'n'), too_long(33, 'n');
    ASSERT_EQ(ZKShMemOpen(&h, 100, ZKSHMEM_READWRITE, longest.c_str()), 0u);
    EXPECT_EQ(ZKShMemClose(h), 0u);
    // Refusals create nothing and leave the handle variable null (untouched
    // when the name is missing).
    const struct { const char* name; DWORD size, access, result; } refused[] = {
        {"r", 100, ZKSHMEM_READWRITE, 6}, {too_long.c_str(), 100, ZKSHMEM_READWRITE, 87},
        {"r", 0, ZKSHMEM_READWRITE, 87}, {"r", 2454267009u, ZKSHMEM_READWRITE, 87},
        {"r", 100, 2, 87}, {"r", 100, ZKSHMEM_READONLY, 110}};
    for (const auto& c : refused) {
        h = reinterpret_cast<PZKSHMEM_HEAD>(1);
        EXPECT_EQ(ZKShMemOpen(&h, c.size, c.access, c.result == 6 ? nullptr : c.name), c.result) << c.name;
        EXPECT_EQ(h, c.result == 6 ? reinterpret_cast<PZKSHMEM_HEAD>(1) : nullptr);
    }
    EXPECT_EQ(ZKShMemOpen(nullptr, 100, ZKSHMEM_READWRITE, "r"), 6u);
    // The empty name gives the bare prefixes as object names.
    ASSERT_EQ(ZKShMemOpen(&h, 100, ZKSHMEM_READWRITE, ""), 0u);
    for (HANDLE o : {CreateMutexA(nullptr, FALSE, "ZKMUTEX_"),
                     CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 1, "ZKSHMEM_MAPNAME_")}) {
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
        CloseHandle(o);
    }
    EXPECT_EQ(ZKShMemClose(h), 0u);
    EXPECT_EQ(ZKShMemClose(nullptr), 87u);
}

TEST(ShMemOpen, TranslationsAndTheLastError) {
    PZKSHMEM_HEAD h = open("r");
    ASSERT_NE(h, nullptr);
    BYTE* base = base_of(h);
    EXPECT_EQ(std::memcmp(base, zkx::test::PlainRegion(1000).base(), 1796), 0) << "the first layout";
    EXPECT_EQ(ZKShMemIndexAddress(h, 1), base + 1780);
    EXPECT_EQ(ZKShMemGetAddress(h, 1796), base + 1796);
    EXPECT_EQ(ZKShMemGetOffset(h, base + 1796), 1796u);
    EXPECT_EQ(ZKShMemGetLastError(h), 0u);
    EXPECT_EQ(ZKShMemGetAddress(h, 1797), nullptr);
    EXPECT_EQ(ZKShMemGetLastError(h), 87u);
    EXPECT_EQ(ZKShMemGetOffset(h, base + 1797) + ZKShMemGetOffset(h, base - 1) + ZKShMemGetOffset(h, base), 0u);
    // The latest failure stays until the next one, whatever succeeds between.
    void* a = ZKShMemAlloc(h, 10, 1);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(ZKShMemGetLastError(h), 87u);
    const struct { bool failed; DWORD code; } calls[] = {
        {!ZKShMemAlloc(h, 5000, 2), 8}, {!ZKShMemFindMemory(h, 77), 1243}, {!ZKShMemAlloc(h, 1, ZKSHMEM_FREE_ID), 87},
        {!ZKShMemFree(h, nullptr), 87}, {!ZKShMemChangeID(h, base + 2000, 1), 87},
        {!ZKShMemChangeID(h, a, ZKSHMEM_FREE_ID), 87}, {!ZKShMemFindMemory(h, ZKSHMEM_FREE_ID), 87}};
    for (const auto& c : calls) EXPECT_TRUE(c.failed);
    EXPECT_EQ(ZKShMemGetLastError(h), 87u);
    // A null handle fails quietly.
    EXPECT_FALSE(ZKShMemAlloc(nullptr, 1, 1) || ZKShMemFree(nullptr, a) || ZKShMemFindMemory(nullptr, 1) ||
                 ZKShMemChangeID(nullptr, a, 1) || ZKShMemBaseAddress(nullptr) || ZKShMemGetAddress(nullptr, 0) ||
                 ZKShMemGetOffset(nullptr, a) || ZKShMemGetLastError(nullptr) || ZKShMemIndexAddress(nullptr, 1));
    EXPECT_EQ(ZKShMemClose(h), 0u);
}

TEST(ShMemOpen, HandlesShareTheHeapWhileOneIsOpen) {
    EXPECT_EQ(open("r", ZKSHMEM_READONLY), nullptr) << "a reader never creates";
    PZKSHMEM_HEAD first = open("r"), second = open("r"), reader = open("r", ZKSHMEM_READONLY);
    ASSERT_TRUE(first && second && reader);
    char* a = static_cast<char*>(ZKShMemAlloc(first, 64, 11));
    std::strcpy(a, "kept");
    for (PZKSHMEM_HEAD h : {second, reader}) {
        const char* found = static_cast<const char*>(ZKShMemFindMemory(h, 11));
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found - reinterpret_cast<const char*>(base_of(h)), a - reinterpret_cast<char*>(base_of(first)));
        EXPECT_STREQ(found, "kept");
    }
    // A reader finds but never changes.
    const std::vector<BYTE> before(base_of(first), base_of(first) + 1796);
    void* seen = ZKShMemFindMemory(reader, 11);
    EXPECT_FALSE(ZKShMemAlloc(reader, 1, 1) || ZKShMemFree(reader, seen) || ZKShMemChangeID(reader, seen, 1));
    EXPECT_EQ(ZKShMemGetLastError(reader), 12u);
    EXPECT_EQ(std::vector<BYTE>(base_of(first), base_of(first) + 1796), before);
    // The region lives until its last handle closes.
    EXPECT_EQ(ZKShMemClose(first) + ZKShMemClose(reader), 0u);
    EXPECT_NE(ZKShMemFindMemory(second, 11), nullptr);
    EXPECT_EQ(ZKShMemClose(second), 0u);
    PZKSHMEM_HEAD again = open("r");
    EXPECT_EQ(ZKShMemFindMemory(again, 11), nullptr);
    ZKShMemClose(again);
}

TEST(ShMemLocking, BusyMutexesGive1053AndChangeNothing) {
    PZKSHMEM_HEAD h = open("r");
    void* a = ZKShMemAlloc(h, 10, 1);
    for (const char* name : {"ZKMUTEX_r", "ZK_Open_Mutex_Name_r"}) {
        HANDLE taken = CreateEventA(nullptr, TRUE, FALSE, nullptr), done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        std::thread holder([&] {
            HANDLE m = CreateMutexA(nullptr, FALSE, name);
            WaitForSingleObject(m, INFINITE);
            SetEvent(taken);
            WaitForSingleObject(done, INFINITE);
            ReleaseMutex(m);
            CloseHandle(m);
        });
        WaitForSingleObject(taken, INFINITE);
        const std::vector<BYTE> before(base_of(h), base_of(h) + 1796);
        if (name[2] == 'M') {
            EXPECT_FALSE(ZKShMemAlloc(h, 10, 2) || ZKShMemFree(h, a) || ZKShMemChangeID(h, a, 3) ||
                         ZKShMemFindMemory(h, 1));
            EXPECT_EQ(ZKShMemGetLastError(h), 1053u);
        } else {
            PZKSHMEM_HEAD other = reinterpret_cast<PZKSHMEM_HEAD>(1);
            EXPECT_EQ(ZKShMemOpen(&other, 1000, ZKSHMEM_READWRITE, "r"), 1053u);
            EXPECT_EQ(other, nullptr);
        }
        EXPECT_EQ(std::vector<BYTE>(base_of(h), base_of(h) + 1796), before);
        SetEvent(done);
        holder.join();
    }
    EXPECT_EQ(ZKShMemFindMemory(h, 1), a);
    ZKShMemClose(h);
}

std::string hex(const void* p) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", unsigned(UINT_PTR(p)));
    return text;
}

TEST(ShMemTrace, OneLinePerCallInEveryOutcome) {
    zkx::test::CapturedLog log("ZKShMem", 0x0080, 0xFFFF);
    g_hZKShMemLog = log.handle();
    PZKSHMEM_HEAD h = open("tr%s");
    const std::string hdl = hex(h);
    void* a = ZKShMemAlloc(h, 100, 5);
    ZKShMemAlloc(h, 10, ZKSHMEM_FREE_ID);
    ZKShMemFindMemory(h, 5);
    ZKShMemFindMemory(h, 6);
    ZKShMemChangeID(h, a, 0xFFFFFFFE);
    ZKShMemFree(h, a);
    ZKShMemFree(h, a);
    ZKShMemGetAddress(h, 5000);  // translations write nothing
    ZKShMemClose(h);
    ZKShMemClose(nullptr);
    ZKShMemOpen(&h, 7, 2, "acc");
    ZKShMemOpen(&h, 7, ZKSHMEM_READONLY, std::string(5000, 'x').c_str());
    ZKShMemOpen(&h, 7, ZKSHMEM_READONLY, nullptr);
    ZKShMemAlloc(nullptr, 1, 1);
    g_hZKShMemLog = nullptr;

    const std::string addr = hex(a);
    const std::string expected[] = {
        "[ZKShMemOpen] hdl = " + hdl + ", size = 1000, access = ReadWrite, name = tr%s, return value = 0",
        "[ZKShMemAlloc] hdl = " + hdl + ", address = " + addr + ", size = 100, id = 5, return value = 0",
        "[ZKShMemAlloc] hdl = " + hdl + ", address = 0x0, size = 10, id = -1, return value = 87",
        "[ZKShMemFindMemory] hdl = " + hdl + ", address = " + addr + ", id = 5, return value = 0",
        "[ZKShMemFindMemory] hdl = " + hdl + ", address = 0x0, id = 6, return value = 1243",
        "[ZKShMemChangeID] hdl = " + hdl + ", address = " + addr + ", new id = -2, return value = 0",
        "[ZKShMemFree] hdl = " + hdl + ", address = " + addr + ", return value = 0",
        "[ZKShMemFree] hdl = " + hdl + ", address = " + addr + ", return value = 87",
        "[ZKShMemClose] hdl = " + hdl + ", return value = 0",
        "[ZKShMemClose] hdl = 0x0, return value = 87",
        "[ZKShMemOpen] hdl = 0x0, size = 7, access = ReadWrite, name = acc, return value = 87",
        // A refused long name is cut to fit the 512-byte line.
        "[ZKShMemOpen] hdl = 0x0, size = 7, access = ReadOnly, name = " + std::string(400, 'x') + ", return value = 87",
        "[ZKShMemOpen] hdl = 0x0, size = 7, access = ReadOnly, name = (null), return value = 6",
        "[ZKShMemAlloc] hdl = 0x0, address = 0x0, size = 1, id = 1, return value = 87",
    };
    const auto lines = log.file_lines();
    ASSERT_EQ(lines.size(), std::size(expected));
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind("ZKShMemLog(", 0), 0u) << lines[i];
        const size_t at = lines[i].find(", ZKShMem , CHK, ");
        ASSERT_NE(at, std::string::npos) << lines[i];
        EXPECT_EQ(lines[i].substr(at + 17), expected[i] + "\r\n");
    }
}

}  // namespace
