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

const DWORD kNear4G = 0xFFFFFFF0u;

// A buffer with guard bytes on both sides, to see writes past the size the
// caller gave.
struct GuardedBuffer {
    static constexpr size_t kGuard = 64;
    explicit GuardedBuffer(size_t n) : bytes(n + 2 * kGuard, char(0x5A)), n(n) {}
    char* data() { return &bytes[kGuard]; }
    DWORD size() const { return DWORD(n); }
    bool guards_intact() const {
        return std::string(bytes.begin(), bytes.begin() + kGuard) + std::string(bytes.end() - kGuard, bytes.end()) ==
               std::string(2 * kGuard, char(0x5A));
    }
    bool terminated() const { return memchr(&bytes[kGuard], 0, n) != nullptr; }
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

TEST(BadInput, ExclusionRecordsNullAndNames) {
    EXPECT_EQ(ZKExclInitCritSec(nullptr, 0, 0), 87u);
    EXPECT_EQ(ZKExclIsValidCritSec(nullptr), 6u);
    EXPECT_EQ(ZKExclEnterCritSec(nullptr, 0, 0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(ZKExclLeaveCritSec(nullptr, 0), 6u);
    EXPECT_EQ(ZKExclDeleteCritSec(nullptr, 0), 6u);

    EXPECT_EQ(ZKExclInitMRMutex(nullptr, "x", 0, 0), 87u);
    EXPECT_EQ(ZKExclIsValidMRMutex(nullptr), 6u);
    EXPECT_EQ(ZKExclEnterMRMutexRead(nullptr, 0, 0, 0), 6u);
    EXPECT_EQ(ZKExclLeaveMRMutexRead(nullptr, 0), 6u);
    EXPECT_EQ(ZKExclEnterMRMutexWrite(nullptr, 0, 0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(ZKExclLeaveMRMutexWrite(nullptr, 0), 6u);
    EXPECT_EQ(ZKExclDeleteMRMutex(nullptr, 0), 0u);

    ZKEXCL_MRMUTEX mr{};
    EXPECT_EQ(ZKExclInitMRMutex(&mr, std::string(100000, 'm').c_str(), 0, 0), 123u);
    EXPECT_EQ(ZKExclIsValidMRMutex(&mr), 6u);
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

TEST(BadInput, PlatformCallsRejectForeignHandlesAndHugeSizes) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    // A handle of another kind is refused with 6, not taken for a mutex.
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(event));
    EXPECT_EQ(GetLastError(), 6u);
    EXPECT_FALSE(ReleaseSemaphore(event, 1, nullptr));
    EXPECT_EQ(GetLastError(), 6u);
    CloseHandle(event);
    // Closed, or never a handle.
    for (HANDLE bad : {event, HANDLE(uintptr_t(0x7FFF0001)), HANDLE(nullptr)}) {
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), 6u);
        EXPECT_FALSE(SetEvent(bad));
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_EQ(GetLastError(), 6u);
    }
    HANDLE two[2] = {nullptr, nullptr};
    EXPECT_EQ(WaitForMultipleObjects(0, two, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(kNear4G, two, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), 87u);

    // Sizes no address space can hold.
    EXPECT_EQ(LocalAlloc(LPTR, ~SIZE_T(0) - 15), nullptr);
    EXPECT_EQ(GetLastError(), 8u);
    EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, ~SIZE_T(0) - 15), nullptr);

    GuardedBuffer out(16);
    std::string huge(100000, 'w');
    int n = wsprintfA(out.data(), "%.8s", huge.c_str());
    EXPECT_EQ(n, 8);
    EXPECT_TRUE(out.guards_intact());
    EXPECT_EQ(lstrlenA(nullptr), 0);
    GuardedBuffer copy(8);
    EXPECT_NE(lstrcpynA(copy.data(), huge.c_str(), 8), nullptr);
    EXPECT_EQ(strlen(copy.data()), 7u);
    EXPECT_TRUE(copy.guards_intact());
}

TEST(BadInput, RegistryRefusesOverlongNamesAndBadBuffers) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\BadInput", &key), 0);
    std::string long_key(300, 'k');
    HKEY sub = nullptr;
    EXPECT_NE(RegCreateKeyA(key, long_key.c_str(), &sub), 0);
    EXPECT_EQ(sub, nullptr);
    EXPECT_NE(RegOpenKeyA(key, std::string(100000, 'k').c_str(), &sub), 0);
    std::string long_value(20000, 'v');
    EXPECT_NE(RegSetValueExA(key, long_value.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2), 0);
    EXPECT_EQ(RegSetValueExA(key, "n", 0, REG_SZ, nullptr, 4), 998);  // ERROR_NOACCESS, as on Windows
    ASSERT_EQ(RegSetValueExA(key, "s", 0, REG_SZ, reinterpret_cast<const BYTE*>("hello"), 6), 0);
    GuardedBuffer small(3);
    DWORD size = small.size(), type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "s", nullptr, &type, reinterpret_cast<BYTE*>(small.data()), &size), 234);
    EXPECT_EQ(size, 6u);
    EXPECT_TRUE(small.guards_intact());
    EXPECT_EQ(RegQueryValueExA(key, "s", nullptr, &type, reinterpret_cast<BYTE*>(small.data()), nullptr), 87);
    EXPECT_EQ(RegSetValueExA(HKEY(uintptr_t(0x7FFF0003)), "s", 0, REG_SZ,
                             reinterpret_cast<const BYTE*>("x"), 2), 6);
    RegCloseKey(key);
    EXPECT_EQ(RegCloseKey(key), 6);
}

}  // namespace
