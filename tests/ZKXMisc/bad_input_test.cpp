// Bad input across the exported surface: null pointers, strings at and past
// their limits, handles of the wrong kind and sizes at 0 and near 4 GB.
// Each case must give its documented code and write nothing outside the
// caller's buffer; the sanitizer builds run them too.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CLib.h"
#include "ZKDLog.h"
#include "ZKEnv.h"
#include "ZKExcl.h"
#include "ZKUtil.h"
#include "ZKVer.h"

namespace {

// A buffer with 64 guard bytes on both sides, to see writes past the size
// the caller gave.
struct GuardedBuffer {
    explicit GuardedBuffer(size_t n) : bytes(n + 128, char(0x5A)), n(n) {}
    char* data() { return &bytes[64]; }
    DWORD size() const { return DWORD(n); }
    bool guards_intact() const {
        return std::string(bytes.begin(), bytes.begin() + 64) + std::string(bytes.end() - 64, bytes.end()) ==
               std::string(128, char(0x5A));
    }
    bool terminated() const { return memchr(&bytes[64], 0, n) != nullptr; }
    std::vector<char> bytes;
    size_t n;
};

TEST(BadInput, NameBuildersStayInsideTheirBuffer) {
    std::string huge(100000, 'k');
    for (DWORD size : {1u, 2u, 24u, 25u, 261u}) {
        GuardedBuffer buf(size);
        DWORD r = ZKMiscMakeRegPath(huge.c_str(), huge.c_str(), buf.size(), buf.data());
        EXPECT_EQ(r, 122u) << size;
        EXPECT_TRUE(buf.guards_intact()) << size;
        // Past the fixed prefix the partial text is terminated; before it the
        // buffer is not touched.
        if (size > 24) EXPECT_TRUE(buf.terminated()) << size;
        else EXPECT_EQ(buf.data()[0], 0x5A) << size;
        GuardedBuffer obj(size);
        EXPECT_EQ(ZKMiscMakeSysObjName(huge.c_str(), "b", huge.c_str(), obj.size(), obj.data()), 122u);
        EXPECT_TRUE(obj.guards_intact()) << size;
        GuardedBuffer base(size);
        ZKMiscGetSysBaseRegPath(base.size(), base.data());
        EXPECT_TRUE(base.guards_intact()) << size;
    }
}

TEST(BadInput, SettingsGettersAndSettersRefuseBadBuffersAndLongValues) {
    GuardedBuffer tiny(1);
    DWORD length = 12345;
    using Getter = DWORD(ZKAPI*)(DWORD, DWORD, LPSTR, LPDWORD);
    for (Getter get : {Getter(ZKMiscGetZKDir), Getter(ZKMiscGetDataDir), Getter(ZKMiscGetDllDir)}) {
        EXPECT_EQ(get(0, 0, tiny.data(), &length), 87u);
        EXPECT_EQ(get(0, 261, nullptr, &length), 87u);
        EXPECT_EQ(get(0, tiny.size(), tiny.data(), &length), 122u);
        EXPECT_TRUE(tiny.guards_intact());
        EXPECT_EQ(length, 12345u) << "the length is written only on success";
    }
    EXPECT_EQ(ZKMiscSetDllDir(0, 0, std::string(300, 'd').c_str()), 122u);
    ASSERT_EQ(ZKMiscSetZKDir(0, 0, std::string(260, 'd').c_str()), 0u);
    GuardedBuffer exact(261);
    EXPECT_EQ(ZKMiscGetZKDir(0, exact.size(), exact.data(), &length), 0u);
    EXPECT_EQ(length, 260u);
    EXPECT_TRUE(exact.guards_intact());

    EXPECT_EQ(ZKMiscGetLangCode(nullptr, tiny.size(), tiny.data(), &length), 122u);
    EXPECT_EQ(ZKMiscGetLocalizeCode(nullptr, tiny.size(), tiny.data(), &length), 122u);
    EXPECT_TRUE(tiny.guards_intact());
}

TEST(BadInput, DebugLogTakesOverlongText) {
    std::string huge(100000, 'n');
    PZKDLOG_HANDLE log = nullptr;
    ASSERT_EQ(ZKDLogCreate(huge.c_str(), 0, &log), 0u);
    // Everything reaches the debug-string output at the highest level; the
    // record is cut at its line size, never overrun.
    EXPECT_EQ(ZKDLogOut(log, huge.c_str(), 0xFFFFFFFF, ZKDLOG_HI, "%s %s", huge.c_str(), nullptr), 0u);
    EXPECT_EQ(ZKDLogOut(log, nullptr, 0, ZKDLOG_HI, nullptr), 0u);
    EXPECT_EQ(ZKDLogIndent(log, 0x7FFFFFFF), 0u);
    EXPECT_EQ(ZKDLogIndent(log, 0x7FFFFFFF), 0u);
    EXPECT_EQ(ZKDLogOut(log, "f", 1, ZKDLOG_HI, "deep"), 0u);
    // A configuration path far over any registry limit is only a missing key.
    DWORD r = ZKDLogLoadCfg(log, 0, huge.c_str(), 0, 0);
    EXPECT_NE(r, 0u);
    EXPECT_EQ(ZKDLogDestroy(log, 0), 0u);
}

// Null records, and records never initialised, are refused alike.
TEST(BadInput, ExclusionRecordsNullZeroedAndNames) {
    EXPECT_EQ(ZKExclInitCritSec(nullptr, 0, 0), 87u);
    EXPECT_EQ(ZKExclInitMRMutex(nullptr, "x", 0, 0), 87u);
    ZKEXCL_CRITSEC zero_cs{};
    ZKEXCL_MRMUTEX zero_mr{};
    for (bool null : {true, false}) {
        ZKEXCL_CRITSEC* cs = null ? nullptr : &zero_cs;
        ZKEXCL_MRMUTEX* mr = null ? nullptr : &zero_mr;
        EXPECT_EQ(ZKExclIsValidCritSec(cs), 6u);
        EXPECT_EQ(ZKExclEnterCritSec(cs, 0, 0, 0), 0xFFFFFFFFu);
        EXPECT_EQ(ZKExclLeaveCritSec(cs, 0), 6u);
        EXPECT_EQ(ZKExclDeleteCritSec(cs, 0), 6u);
        EXPECT_EQ(ZKExclIsValidMRMutex(mr), 6u);
        EXPECT_EQ(ZKExclEnterMRMutexRead(mr, 0, 0, 0), 6u);
        EXPECT_EQ(ZKExclLeaveMRMutexRead(mr, 0), 6u);
        EXPECT_EQ(ZKExclEnterMRMutexWrite(mr, 0, 0, 0), 0xFFFFFFFFu);
        EXPECT_EQ(ZKExclLeaveMRMutexWrite(mr, 0), 6u);
        EXPECT_EQ(ZKExclDeleteMRMutex(mr, 0), 0u);
    }
    EXPECT_EQ(ZKExclInitMRMutex(&zero_mr, std::string(100000, 'm').c_str(), 0, 0), 123u);
    EXPECT_EQ(ZKExclIsValidMRMutex(&zero_mr), 6u);
}

TEST(BadInput, MemoryRoutinesAndVersions) {
    // Zero counts touch nothing, not even a null pointer.
    MEMCPY(nullptr, nullptr, 0);
    MEMSET(nullptr, 0xAB, 0);
    EXPECT_EQ(STRDUP(nullptr), nullptr);

    GuardedBuffer small(4);
    EXPECT_EQ(ZKVer(small.data(), INT(small.size())), nullptr);
    EXPECT_EQ(ZKVer(small.data(), -1), nullptr);
    EXPECT_EQ(ZKVer(nullptr, 64), nullptr);
    EXPECT_TRUE(small.guards_intact());
    EXPECT_EQ(ZKVerSave(nullptr), nullptr);
    EXPECT_EQ(ZKVerLoad(nullptr), nullptr);
}

// What the platform's own tests leave out: a handle of another kind taken
// for a mutex or semaphore, counts and sizes near 4 GB, a name no registry
// holds and a value read into a buffer too small.
TEST(BadInput, PlatformCallsRejectForeignHandlesAndHugeSizes) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(event));
    EXPECT_EQ(GetLastError(), 6u);
    EXPECT_FALSE(ReleaseSemaphore(event, 1, nullptr));
    EXPECT_EQ(GetLastError(), 6u);
    CloseHandle(event);
    EXPECT_FALSE(CloseHandle(event));
    HANDLE two[2] = {nullptr, nullptr};
    EXPECT_EQ(WaitForMultipleObjects(0xFFFFFFF0u, two, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_EQ(LocalAlloc(LPTR, ~SIZE_T(0) - 15), nullptr);
    EXPECT_EQ(GetLastError(), 8u);
    EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, ~SIZE_T(0) - 15), nullptr);

    HKEY key = nullptr, sub = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\BadInput", &key), 0);
    EXPECT_NE(RegOpenKeyA(key, std::string(100000, 'k').c_str(), &sub), 0);
    EXPECT_EQ(sub, nullptr);
    ASSERT_EQ(RegSetValueExA(key, "s", 0, REG_SZ, reinterpret_cast<const BYTE*>("hello"), 6), 0);
    GuardedBuffer small(3);
    DWORD size = small.size();
    EXPECT_EQ(RegQueryValueExA(key, "s", nullptr, nullptr, reinterpret_cast<BYTE*>(small.data()), &size), 234);
    EXPECT_EQ(size, 6u);
    EXPECT_TRUE(small.guards_intact());
    RegCloseKey(key);
}

}  // namespace
