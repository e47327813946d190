#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstring>
#include <string>

#include "ZKUtil.h"
#include "child.h"

namespace {

std::string reg_path(const char* a, const char* b, DWORD size, DWORD* result) {
    char buf[512];
    std::memset(buf, 'x', sizeof buf);
    *result = ZKMiscMakeRegPath(a, b, size, buf);
    return *result == 0 ? std::string(buf) : std::string();
}

TEST(RegPath, SizesAreExact) {
    DWORD r;
    EXPECT_EQ(reg_path(nullptr, nullptr, 25, &r), "SOFTWARE\\VELKO\\ZKW\\Admin");
    EXPECT_EQ(r, 0u);
    reg_path(nullptr, nullptr, 24, &r);
    EXPECT_EQ(r, 122u);
    EXPECT_EQ(reg_path("", nullptr, 26, &r), "SOFTWARE\\VELKO\\ZKW\\Admin\\");
    EXPECT_EQ(reg_path(nullptr, "B", 27, &r), "SOFTWARE\\VELKO\\ZKW\\Admin\\B");
    EXPECT_EQ(reg_path("A", "B", 29, &r), "SOFTWARE\\VELKO\\ZKW\\Admin\\A\\B");
    reg_path("A", "B", 28, &r);
    EXPECT_EQ(r, 122u);
    EXPECT_EQ(reg_path("ZKMisc", "Message", 261, &r),
              "SOFTWARE\\VELKO\\ZKW\\Admin\\ZKMisc\\Message");
}

TEST(RegPath, BadArgumentsLeaveTheBufferAlone) {
    char buf[40] = "untouched";
    EXPECT_EQ(ZKMiscMakeRegPath("A", nullptr, 0, buf), 87u);
    EXPECT_EQ(ZKMiscMakeRegPath("A", nullptr, 40, nullptr), 87u);
    EXPECT_EQ(ZKMiscGetSysBaseRegPath(0, buf), 87u);
    EXPECT_EQ(ZKMiscGetSysBaseRegPath(18, buf), 122u);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_EQ(ZKMiscGetSysBaseRegPath(19, nullptr), 87u);
    EXPECT_EQ(ZKMiscGetSysBaseRegPath(19, buf), 0u);
    EXPECT_STREQ(buf, "SOFTWARE\\VELKO\\ZKW");
    // A later 122 leaves the text built so far, terminated.
    EXPECT_EQ(ZKMiscMakeRegPath("A", "BCDEFGHIJ", 30, buf), 122u);
    EXPECT_STREQ(buf, "SOFTWARE\\VELKO\\ZKW\\Admin\\A");
}

TEST(SysObjName, MapsPathsIntoNames) {
    char buf[300];
    EXPECT_EQ(ZKMiscMakeSysObjName("ZKDLog", "LOGExcl", "C:\\Logs\\misc.log", 260, buf), 0u);
    EXPECT_STREQ(buf, "VELKO_ZK_ZKDLog_LOGExcl_C__Logs_misc.log");
    EXPECT_EQ(ZKMiscMakeSysObjName(nullptr, nullptr, "D:\\x", 260, buf), 0u);
    EXPECT_STREQ(buf, "VELKO_ZK_D__x");
    EXPECT_EQ(ZKMiscMakeSysObjName(nullptr, nullptr, "", 10, buf), 0u);
    EXPECT_STREQ(buf, "VELKO_ZK_");
    EXPECT_EQ(ZKMiscMakeSysObjName("", nullptr, "n", 260, buf), 0u);
    EXPECT_STREQ(buf, "VELKO_ZK__n");
    EXPECT_EQ(ZKMiscMakeSysObjName("AB", nullptr, "C", 14, buf), 0u);
    EXPECT_EQ(ZKMiscMakeSysObjName("AB", nullptr, "C", 13, buf), 122u);
    EXPECT_EQ(ZKMiscMakeSysObjName(nullptr, "AB", "C", 14, buf), 0u);
    EXPECT_EQ(ZKMiscMakeSysObjName(nullptr, "AB", "C", 13, buf), 122u);
    EXPECT_EQ(ZKMiscMakeSysObjName("A", "B", nullptr, 260, buf), 87u);
    EXPECT_EQ(ZKMiscMakeSysObjName(nullptr, nullptr, "x", 9, buf), 122u);
}

ZKX_CHILD(sys_obj_name_in_932) {
    char buf[64];
    // 0x95 0x5C is one Shift-JIS character whose second byte looks like a
    // backslash; a lone ':' behind it is still mapped.
    if (ZKMiscMakeSysObjName(nullptr, nullptr, "\x95\x5C:", sizeof buf, buf) != 0) return 1;
    return std::strcmp(buf, "VELKO_ZK_\x95\x5C_") == 0 ? 0 : 2;
}

TEST(SysObjName, DoubleByteTrailBytesPassUnchanged) {
    setenv("ZKX_CODEPAGE", "932", 1);
    pid_t child = zkx::test::spawn_child("sys_obj_name_in_932");
    unsetenv("ZKX_CODEPAGE");
    EXPECT_EQ(zkx::test::wait_child(child), 0);
    // In the default single-byte code page the same bytes are two characters.
    char buf[64];
    ASSERT_EQ(ZKMiscMakeSysObjName(nullptr, nullptr, "\x95\x5C:", sizeof buf, buf), 0u);
    EXPECT_STREQ(buf, "VELKO_ZK_\x95__");
}

}  // namespace
