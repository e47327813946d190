// The exported operations on a real region: names, access, translations,
// the last-error rule, the heap mutex, and the trace lines.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "ZKMiscPriv.h"
#include "ZKShMemPriv.h"
#include "dlog_test_util.h"
#include "shmem_test_util.h"

namespace {

BYTE* base_of(PZKSHMEM_HEAD h) { return static_cast<BYTE*>(ZKShMemBaseAddress(h)); }

std::string check(PZKSHMEM_HEAD h) {
    ZKSHMEM_CHECK result;
    DWORD r = zkshmem_check_handle(h, 2000, &result);
    return r == 0 ? "" : "check gave " + std::to_string(r) + ": " + result.szText;
}

TEST(ShMemOpen, NamesUpTo32CharactersAndTheEmptyName) {
    PZKSHMEM_HEAD h = reinterpret_cast<PZKSHMEM_HEAD>(1);
    const std::string longest(32, 'n');
    ASSERT_EQ(ZKShMemOpen(&h, 100, ZKSHMEM_READWRITE, longest.c_str()), 0u);
    EXPECT_EQ(ZKShMemClose(h), 0u);

    h = reinterpret_cast<PZKSHMEM_HEAD>(1);
    EXPECT_EQ(ZKShMemOpen(&h, 100, ZKSHMEM_READWRITE, (longest + "n").c_str()), 87u);
    EXPECT_EQ(h, nullptr);

    // The empty name gives the bare prefixes as object names.
    ASSERT_EQ(ZKShMemOpen(&h, 100, ZKSHMEM_READWRITE, ""), 0u);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "ZKMUTEX_");
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    CloseHandle(mutex);
    HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 153,
                                        "ZKSHMEM_MAPNAME_");
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    CloseHandle(section);
    EXPECT_EQ(ZKShMemClose(h), 0u);
}

TEST(ShMemOpen, RefusesBadArgumentsBeforeCreatingAnything) {
    PZKSHMEM_HEAD h = nullptr;
    EXPECT_EQ(ZKShMemOpen(nullptr, 100, ZKSHMEM_READWRITE, "r"), 6u);
    h = reinterpret_cast<PZKSHMEM_HEAD>(1);
    EXPECT_EQ(ZKShMemOpen(&h, 100, ZKSHMEM_READWRITE, nullptr), 6u);
    for (DWORD size : {0u, 0xFFFFFFFFu, 2454267009u}) {
        h = reinterpret_cast<PZKSHMEM_HEAD>(1);
        EXPECT_EQ(ZKShMemOpen(&h, size, ZKSHMEM_READWRITE, "r"), 87u) << size;
        EXPECT_EQ(h, nullptr);
    }
    EXPECT_EQ(ZKShMemOpen(&h, 100, 2, "r"), 87u);
    EXPECT_EQ(h, nullptr);
    // None of them left a region behind: a reader finds nothing.
    EXPECT_EQ(ZKShMemOpen(&h, 100, ZKSHMEM_READONLY, "r"), 110u);
}

TEST(ShMemOpen, SizeGivesTheRegionAndTheTranslationsItsBounds) {
    PZKSHMEM_HEAD h = nullptr;
    ASSERT_EQ(ZKShMemOpen(&h, 1000, ZKSHMEM_READWRITE, "r"), 0u);
    BYTE* base = base_of(h);
    ASSERT_NE(base, nullptr);
    zkx::test::PlainRegion expected(1000);
    EXPECT_EQ(std::memcmp(base, expected.base(), 1796), 0) << "the first layout";
    EXPECT_EQ(ZKShMemIndexAddress(h, 1), base + 1780);
    EXPECT_EQ(ZKShMemIndexAddress(nullptr, 1), nullptr);

    EXPECT_EQ(ZKShMemGetAddress(h, 1796), base + 1796);
    EXPECT_EQ(ZKShMemGetLastError(h), 0u);
    EXPECT_EQ(ZKShMemGetAddress(h, 1797), nullptr);
    EXPECT_EQ(ZKShMemGetLastError(h), 87u);
    EXPECT_EQ(ZKShMemGetOffset(h, base + 1796), 1796u);
    EXPECT_EQ(ZKShMemGetOffset(h, base + 1797), 0u);
    EXPECT_EQ(ZKShMemGetOffset(h, base - 1), 0u);
    EXPECT_EQ(ZKShMemGetOffset(h, base), 0u);

    EXPECT_EQ(ZKShMemBaseAddress(nullptr), nullptr);
    EXPECT_EQ(ZKShMemGetAddress(nullptr, 0), nullptr);
    EXPECT_EQ(ZKShMemGetOffset(nullptr, base), 0u);
    EXPECT_EQ(ZKShMemGetLastError(nullptr), 0u);
    EXPECT_EQ(ZKShMemClose(nullptr), 87u);
    EXPECT_EQ(ZKShMemClose(h), 0u);
}

TEST(ShMemOpen, RegionLivesWhileAHandleIsOpen) {
    PZKSHMEM_HEAD first = nullptr, second = nullptr, again = nullptr;
    ASSERT_EQ(ZKShMemOpen(&first, 1000, ZKSHMEM_READWRITE, "r"), 0u);
    ASSERT_EQ(ZKShMemOpen(&second, 1000, ZKSHMEM_READWRITE, "r"), 0u);
    void* a = ZKShMemAlloc(first, 64, 11);
    ASSERT_NE(a, nullptr);
    std::strcpy(static_cast<char*>(a), "kept");
    // Two views of one heap: same offset, addresses apart by the bases.
    void* found = ZKShMemFindMemory(second, 11);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(ZKShMemGetOffset(second, found), ZKShMemGetOffset(first, a));
    EXPECT_EQ(static_cast<BYTE*>(found) - base_of(second), static_cast<BYTE*>(a) - base_of(first));
    EXPECT_STREQ(static_cast<char*>(found), "kept");

    // Closing one handle keeps the region; closing the last one ends it.
    ASSERT_EQ(ZKShMemClose(first), 0u);
    EXPECT_NE(ZKShMemFindMemory(second, 11), nullptr);
    ASSERT_EQ(ZKShMemClose(second), 0u);
    ASSERT_EQ(ZKShMemOpen(&again, 1000, ZKSHMEM_READWRITE, "r"), 0u);
    EXPECT_EQ(ZKShMemFindMemory(again, 11), nullptr);
    EXPECT_EQ(ZKShMemGetLastError(again), 1243u);
    EXPECT_EQ(ZKShMemClose(again), 0u);
}

TEST(ShMemAccess, ReadOnlyHandlesFindButNeverChange) {
    PZKSHMEM_HEAD reader = nullptr, writer = nullptr;
    EXPECT_EQ(ZKShMemOpen(&reader, 1000, ZKSHMEM_READONLY, "r"), 110u);
    EXPECT_EQ(reader, nullptr);
    ASSERT_EQ(ZKShMemOpen(&writer, 1000, ZKSHMEM_READWRITE, "r"), 0u);
    void* a = ZKShMemAlloc(writer, 10, 3);
    ASSERT_EQ(ZKShMemOpen(&reader, 1000, ZKSHMEM_READONLY, "r"), 0u);
    const std::vector<BYTE> before(base_of(writer), base_of(writer) + 1796);

    void* found = ZKShMemFindMemory(reader, 3);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(ZKShMemGetOffset(reader, found), ZKShMemGetOffset(writer, a));
    EXPECT_EQ(ZKShMemAlloc(reader, 10, 4), nullptr);
    EXPECT_EQ(ZKShMemGetLastError(reader), 12u);
    EXPECT_FALSE(ZKShMemChangeID(reader, found, 4));
    EXPECT_FALSE(ZKShMemFree(reader, found));
    EXPECT_EQ(ZKShMemGetLastError(reader), 12u);
    EXPECT_EQ(std::vector<BYTE>(base_of(writer), base_of(writer) + 1796), before);
    EXPECT_EQ(ZKShMemClose(reader), 0u);
    EXPECT_EQ(ZKShMemClose(writer), 0u);
}

TEST(ShMemAccess, LastErrorKeepsTheLatestFailure) {
    PZKSHMEM_HEAD h = nullptr;
    ASSERT_EQ(ZKShMemOpen(&h, 1000, ZKSHMEM_READWRITE, "r"), 0u);
    void* a = ZKShMemAlloc(h, 10, 1);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(ZKShMemAlloc(h, 10, ZKSHMEM_FREE_ID), nullptr);
    EXPECT_EQ(ZKShMemGetLastError(h), 87u);
    EXPECT_NE(ZKShMemAlloc(h, 10, 2), nullptr);
    EXPECT_EQ(ZKShMemGetLastError(h), 87u) << "a success does not clear it";
    EXPECT_EQ(ZKShMemAlloc(h, 5000, 2), nullptr);
    EXPECT_EQ(ZKShMemGetLastError(h), 8u);
    EXPECT_EQ(ZKShMemFindMemory(h, 77), nullptr);
    EXPECT_EQ(ZKShMemGetLastError(h), 1243u);
    EXPECT_TRUE(ZKShMemFree(h, a));
    EXPECT_FALSE(ZKShMemFree(h, a));
    EXPECT_EQ(ZKShMemGetLastError(h), 87u);
    EXPECT_FALSE(ZKShMemFree(h, nullptr));
    EXPECT_FALSE(ZKShMemChangeID(h, base_of(h) + 2000, 1));
    EXPECT_FALSE(ZKShMemChangeID(h, base_of(h) + 100, ZKSHMEM_FREE_ID));
    EXPECT_EQ(ZKShMemFindMemory(h, ZKSHMEM_FREE_ID), nullptr);
    // A null handle fails quietly.
    EXPECT_EQ(ZKShMemAlloc(nullptr, 10, 1), nullptr);
    EXPECT_FALSE(ZKShMemFree(nullptr, a));
    EXPECT_EQ(ZKShMemFindMemory(nullptr, 1), nullptr);
    EXPECT_FALSE(ZKShMemChangeID(nullptr, a, 1));
    EXPECT_EQ(check(h), "");
    EXPECT_EQ(ZKShMemClose(h), 0u);
}

// Holds a named mutex on another thread until released.
class Holder {
public:
    explicit Holder(const char* name) {
        thread_ = std::thread([this, name] {
            HANDLE m = CreateMutexA(nullptr, FALSE, name);
            WaitForSingleObject(m, INFINITE);
            SetEvent(taken_);
            WaitForSingleObject(release_, INFINITE);
            ReleaseMutex(m);
            CloseHandle(m);
        });
        WaitForSingleObject(taken_, INFINITE);
    }
    ~Holder() {
        SetEvent(release_);
        thread_.join();
        CloseHandle(taken_);
        CloseHandle(release_);
    }

private:
    HANDLE taken_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread thread_;
};

TEST(ShMemLocking, BusyMutexesGive1053AndChangeNothing) {
    PZKSHMEM_HEAD h = nullptr, other = nullptr;
    ASSERT_EQ(ZKShMemOpen(&h, 1000, ZKSHMEM_READWRITE, "r"), 0u);
    void* a = ZKShMemAlloc(h, 10, 1);
    {
        Holder heap("ZKMUTEX_r");
        const std::vector<BYTE> before(base_of(h), base_of(h) + 1796);
        EXPECT_EQ(ZKShMemAlloc(h, 10, 2), nullptr);
        EXPECT_EQ(ZKShMemGetLastError(h), 1053u);
        EXPECT_FALSE(ZKShMemFree(h, a));
        EXPECT_FALSE(ZKShMemChangeID(h, a, 3));
        EXPECT_EQ(ZKShMemFindMemory(h, 1), nullptr);
        EXPECT_EQ(ZKShMemGetLastError(h), 1053u);
        EXPECT_EQ(std::vector<BYTE>(base_of(h), base_of(h) + 1796), before);
    }
    {
        Holder opening("ZK_Open_Mutex_Name_r");
        EXPECT_EQ(ZKShMemOpen(&other, 1000, ZKSHMEM_READWRITE, "r"), 1053u);
        EXPECT_EQ(other, nullptr);
    }
    EXPECT_EQ(ZKShMemFindMemory(h, 1), a);
    EXPECT_EQ(ZKShMemClose(h), 0u);
}

TEST(ShMemLocking, ThreadsShareOneHandle) {
    PZKSHMEM_HEAD h = nullptr;
    ASSERT_EQ(ZKShMemOpen(&h, 64 * 1024, ZKSHMEM_READWRITE, "r"), 0u);
    std::vector<std::thread> threads;
    for (DWORD t = 0; t < 4; ++t) {
        threads.emplace_back([h, t] {
            for (DWORD i = 0; i < 500; ++i) {
                void* p;
                // Callers retry while the heap is busy.
                while (!(p = ZKShMemAlloc(h, 16, t)) && ZKShMemGetLastError(h) == 1053) {
                }
                if (!p) continue;
                std::memset(p, int(t), 16);
                while (!ZKShMemFree(h, p) && ZKShMemGetLastError(h) == 1053) {
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(check(h), "");
    zkx::test::PlainRegion fresh(64 * 1024);
    EXPECT_EQ(zkx::test::heap_state(base_of(h), fresh.total()), fresh.state());
    EXPECT_EQ(ZKShMemClose(h), 0u);
}

// --- trace lines -------------------------------------------------------------

class ShMemTrace : public ::testing::Test {
protected:
    ShMemTrace() : log_("ZKShMem", 0x0080, 0xFFFF) { g_hZKShMemLog = log_.handle(); }
    ~ShMemTrace() override { g_hZKShMemLog = nullptr; }

    // The messages, without the record's header fields and line end.
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const std::string& line : log_.file_lines()) {
            EXPECT_EQ(line.rfind("ZKShMemLog(", 0), 0u) << line;
            EXPECT_NE(line.find(", ZKShMem , CHK, "), std::string::npos) << line;
            const size_t at = line.find(", CHK, ") + 7;
            out.push_back(line.substr(at, line.size() - at - 2));
        }
        return out;
    }
    static std::string hex(const void* p) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%x", unsigned(reinterpret_cast<UINT_PTR>(p)));
        return buf;
    }

    zkx::test::CapturedLog log_;
};

TEST_F(ShMemTrace, OneLinePerCallInEveryOutcome) {
    PZKSHMEM_HEAD h = nullptr;
    ASSERT_EQ(ZKShMemOpen(&h, 1000, ZKSHMEM_READWRITE, "tr%s"), 0u);
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
    ZKShMemOpen(&h, 7, ZKSHMEM_READONLY, std::string(33, 'x').c_str());
    ZKShMemOpen(&h, 7, ZKSHMEM_READONLY, nullptr);
    ZKShMemAlloc(nullptr, 1, 1);

    const std::string addr = hex(a);
    const std::vector<std::string> expected = {
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
        "[ZKShMemOpen] hdl = 0x0, size = 7, access = ReadOnly, name = " + std::string(33, 'x') +
            ", return value = 87",
        "[ZKShMemOpen] hdl = 0x0, size = 7, access = ReadOnly, name = (null), return value = 6",
        "[ZKShMemAlloc] hdl = 0x0, address = 0x0, size = 1, id = 1, return value = 87",
    };
    EXPECT_EQ(messages(), expected);
}

TEST_F(ShMemTrace, LongNamesAreCutInTheLineNotWrittenPastIt) {
    PZKSHMEM_HEAD h = nullptr;
    const std::string name(5000, 'q');
    EXPECT_EQ(ZKShMemOpen(&h, 7, ZKSHMEM_READWRITE, name.c_str()), 87u);
    auto lines = messages();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_LT(lines[0].size(), 512u);
    EXPECT_NE(lines[0].find("name = qqqq"), std::string::npos);
    EXPECT_NE(lines[0].find(", return value = 87"), std::string::npos);
}

TEST_F(ShMemTrace, NothingIsFormattedWithoutALogOrBelowItsLevel) {
    g_hZKShMemLog = nullptr;
    PZKSHMEM_HEAD h = nullptr;
    ZKShMemOpen(&h, 100, ZKSHMEM_READWRITE, "r");
    g_hZKShMemLog = log_.handle();
    log_.handle()->aOutput[0].wLevel = 0x0100;
    ZKShMemAlloc(h, 1, 1);
    log_.handle()->aOutput[0].wLevel = 0x0080;
    ZKShMemClose(h);
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].rfind("[ZKShMemClose]", 0), 0u);
}

}  // namespace
