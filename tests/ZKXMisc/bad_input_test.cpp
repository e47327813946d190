// The name builders, and bad input across the exported surface: null pointers,
// strings past their limits, records never initialised, sizes at 0.  Each gives
// its documented code and writes nothing outside the caller's buffer.
#include "CLib.h"
#include "ZKDLog.h"
#include "ZKExcl.h"
#include "ZKUtil.h"
#include "ZKVer.h"
#include "misc_test_util.h"

namespace {

// "<result> <text>" of a call into a buffer of `size` bytes, or "<result>
// untouched".  64 guard bytes on both sides show writes past the size.
template <class Fn> std::string into_guarded(DWORD size, Fn call) {
    std::string bytes(size + 128, 'Z');
    const DWORD rc = call(&bytes[64]);
    EXPECT_EQ(bytes.substr(0, 64) + bytes.substr(64 + size), std::string(128, 'Z')) << size;
    return std::to_string(rc) + " " + (bytes == std::string(size + 128, 'Z') ? "untouched" : bytes.c_str() + 64);
}

const std::string kBase = "SOFTWARE\\VELKO\\ZKW", kAdmin = kBase + "\\Admin", kHuge(100000, 'k');
const std::string kOk = "0 ", kTooSmall = std::to_string(ERROR_INSUFFICIENT_BUFFER) + " ",
                  kInvalid = std::to_string(ERROR_INVALID_PARAMETER) + " ", kUntouched = "untouched";

TEST(RegPath, SizesAreExact) {
    const struct { const char *a, *b; DWORD size; std::string result; } cases[] = {
        {"", nullptr, 26, kOk + kAdmin + "\\"}, {"A", "B", 29, kOk + kAdmin + "\\A\\B"},
        // A refusal leaves the text built so far, terminated, or the buffer
        // alone when not even the fixed prefix fits.
        {nullptr, nullptr, 25, kOk + kAdmin},  {nullptr, nullptr, 24, kTooSmall + kUntouched},
        {"A", "B", 28, kTooSmall + kAdmin + "\\A"}, {kHuge.c_str(), kHuge.c_str(), 25, kTooSmall + kAdmin},
        {"A", nullptr, 0, kInvalid + kUntouched},
    };
    for (const auto& c : cases)
        EXPECT_EQ(into_guarded(c.size, [&](LPSTR p) { return ZKMiscMakeRegPath(c.a, c.b, c.size, p); }), c.result);
    EXPECT_EQ(ZKMiscMakeRegPath("A", nullptr, 40, nullptr), DWORD(ERROR_INVALID_PARAMETER));

    // The system base fits or is left alone.
    const std::pair<DWORD, std::string> base[] = {
        {0, kInvalid + kUntouched}, {18, kTooSmall + kUntouched}, {19, kOk + kBase}};
    for (const auto& [size, result] : base)
        EXPECT_EQ(into_guarded(size, [&](LPSTR p) { return ZKMiscGetSysBaseRegPath(size, p); }), result);
    EXPECT_EQ(ZKMiscGetSysBaseRegPath(19, nullptr), DWORD(ERROR_INVALID_PARAMETER));
}

// As with the registry paths, a refusal leaves the text built so far.
TEST(SysObjName, MapsPathsIntoNames) {
    const struct { const char *a, *b, *path; DWORD size; std::string result; } cases[] = {
        {"ZKDLog", "LOGExcl", "C:\\Logs\\misc.log", 260, kOk + "VELKO_ZK_ZKDLog_LOGExcl_C__Logs_misc.log"},
        {nullptr, nullptr, "", 10, kOk + "VELKO_ZK_"},
        {"", nullptr, "n", 260, kOk + "VELKO_ZK__n"},
        {"AB", nullptr, "C", 14, kOk + "VELKO_ZK_AB_C"}, {"AB", nullptr, "C", 13, kTooSmall + "VELKO_ZK_AB_"},
        {nullptr, "AB", "C", 13, kTooSmall + "VELKO_ZK_AB_"}, {nullptr, nullptr, "x", 9, kTooSmall + kUntouched},
        {"A", "B", nullptr, 260, kInvalid + kUntouched},
        {kHuge.c_str(), "b", kHuge.c_str(), 261, kTooSmall + "VELKO_ZK_"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(into_guarded(c.size, [&](LPSTR p) { return ZKMiscMakeSysObjName(c.a, c.b, c.path, c.size, p); }),
                  c.result);
}

ZKX_CHILD(sys_obj_name_in_932) {
    char buf[64];
    // 0x95 0x5C is one Shift-JIS character whose second byte looks like a
    // backslash; a lone ':' behind it is still mapped.
    if (ZKMiscMakeSysObjName(nullptr, nullptr, "\x95\x5C:", sizeof buf, buf) != 0) return 1;
    return std::strcmp(buf, "VELKO_ZK_\x95\x5C_") == 0 ? 0 : 2;
}

TEST(SysObjName, DoubleByteTrailBytesPassUnchanged) {
    EXPECT_EQ(zkx::test::run_child_with("ZKX_CODEPAGE", "932", "sys_obj_name_in_932"), 0);
    // In the default single-byte code page the same bytes are two characters.
    char buf[64];
    ASSERT_EQ(ZKMiscMakeSysObjName(nullptr, nullptr, "\x95\x5C:", sizeof buf, buf), 0u);
    EXPECT_STREQ(buf, "VELKO_ZK_\x95__");
}

TEST(BadInput, DebugLogTakesOverlongText) {
    PZKDLOG_HANDLE log = nullptr;
    ASSERT_EQ(ZKDLogCreate(kHuge.c_str(), 0, &log), 0u);
    // Everything reaches the debug-string output at the highest level; the
    // record is cut at its line size, never overrun.
    EXPECT_EQ(ZKDLogOut(log, kHuge.c_str(), 0xFFFFFFFF, ZKDLOG_HI, "%s %s", kHuge.c_str(), nullptr), 0u);
    EXPECT_EQ(ZKDLogOut(log, nullptr, 0, ZKDLOG_HI, nullptr), 0u);
    for (int twice = 0; twice < 2; ++twice) EXPECT_EQ(ZKDLogIndent(log, 0x7FFFFFFF), 0u);
    EXPECT_EQ(ZKDLogOut(log, "f", 1, ZKDLOG_HI, "deep"), 0u);
    // A configuration path far over any registry limit is only a missing key.
    EXPECT_NE(ZKDLogLoadCfg(log, 0, kHuge.c_str(), 0, 0), 0u);
    EXPECT_EQ(ZKDLogDestroy(log, 0), 0u);
}

// Null records, and records never initialised, are refused alike.
TEST(BadInput, ExclusionRecordsNullZeroedAndNames) {
    EXPECT_EQ(ZKExclInitCritSec(nullptr, 0, 0), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ZKExclInitMRMutex(nullptr, "x", 0, 0), DWORD(ERROR_INVALID_PARAMETER));
    ZKEXCL_CRITSEC zero_cs{};
    ZKEXCL_MRMUTEX zero_mr{};
    const DWORD kBad = ERROR_INVALID_HANDLE;
    for (bool null : {true, false}) {
        ZKEXCL_CRITSEC* cs = null ? nullptr : &zero_cs;
        ZKEXCL_MRMUTEX* mr = null ? nullptr : &zero_mr;
        const std::vector<DWORD> results = {
            ZKExclIsValidCritSec(cs), ZKExclEnterCritSec(cs, 0, 0, 0), ZKExclLeaveCritSec(cs, 0),
            ZKExclDeleteCritSec(cs, 0), ZKExclIsValidMRMutex(mr), ZKExclEnterMRMutexRead(mr, 0, 0, 0),
            ZKExclLeaveMRMutexRead(mr, 0), ZKExclEnterMRMutexWrite(mr, 0, 0, 0), ZKExclLeaveMRMutexWrite(mr, 0),
            ZKExclDeleteMRMutex(mr, 0)};
        EXPECT_EQ(results, (std::vector<DWORD>{kBad, WAIT_FAILED, kBad, kBad, kBad, kBad, kBad, WAIT_FAILED, kBad, 0}))
            << (null ? "null" : "zeroed");
    }
    EXPECT_EQ(ZKExclInitMRMutex(&zero_mr, std::string(100000, 'm').c_str(), 0, 0), DWORD(ERROR_INVALID_NAME));
    EXPECT_EQ(ZKExclIsValidMRMutex(&zero_mr), kBad);
}

TEST(BadInput, MemoryRoutinesAndVersions) {
    // Zero counts touch nothing, not even a null pointer.
    MEMCPY(nullptr, nullptr, 0);
    MEMSET(nullptr, 0xAB, 0);
    EXPECT_EQ(STRDUP(nullptr), nullptr);
    EXPECT_EQ(into_guarded(4, [](LPSTR p) { return DWORD(ZKVer(p, 4) != nullptr || ZKVer(p, -1)); }), "0 untouched");
    EXPECT_EQ((std::vector<const void*>{ZKVer(nullptr, 64), ZKVerSave(nullptr), ZKVerLoad(nullptr)}),
              std::vector<const void*>(3, nullptr));
}

// What the platform's own tests leave out: a handle of another kind taken
// for a mutex or semaphore, and a size near the address space.
TEST(BadInput, PlatformCallsRejectForeignHandlesAndHugeSizes) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(ReleaseMutex(event));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(ReleaseSemaphore(event, 1, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    CloseHandle(event);
    EXPECT_EQ(LocalAlloc(LPTR, ~SIZE_T(0) - 15), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
}

}  // namespace
