#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ZKUtil.h"
#include "misc_test_util.h"

namespace {

TEST(RegPath, SizesAreExact) {
    const std::string admin = "SOFTWARE\\VELKO\\ZKW\\Admin";
    const struct { const char *a, *b; DWORD size; DWORD result; std::string text; } cases[] = {
        {nullptr, nullptr, 25, 0, admin},     {nullptr, nullptr, 24, 122, ""},
        {"", nullptr, 26, 0, admin + "\\"},   {nullptr, "B", 27, 0, admin + "\\B"},
        {"A", "B", 29, 0, admin + "\\A\\B"},  {"A", "B", 28, 122, ""},
        {"ZKMisc", "Message", 261, 0, admin + "\\ZKMisc\\Message"},
    };
    for (const auto& c : cases) {
        char buf[512];
        std::memset(buf, 'x', sizeof buf);
        EXPECT_EQ(ZKMiscMakeRegPath(c.a, c.b, c.size, buf), c.result) << c.size;
        if (c.result == 0) {
            EXPECT_EQ(buf, c.text);
        }
    }
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
    const struct { const char *a, *b, *path; DWORD size; DWORD result; const char* text; } cases[] = {
        {"ZKDLog", "LOGExcl", "C:\\Logs\\misc.log", 260, 0, "VELKO_ZK_ZKDLog_LOGExcl_C__Logs_misc.log"},
        {nullptr, nullptr, "D:\\x", 260, 0, "VELKO_ZK_D__x"},
        {nullptr, nullptr, "", 10, 0, "VELKO_ZK_"},
        {"", nullptr, "n", 260, 0, "VELKO_ZK__n"},
        {"AB", nullptr, "C", 14, 0, "VELKO_ZK_AB_C"},
        {"AB", nullptr, "C", 13, 122, nullptr},
        {nullptr, "AB", "C", 14, 0, "VELKO_ZK_AB_C"},
        {nullptr, "AB", "C", 13, 122, nullptr},
        {"A", "B", nullptr, 260, 87, nullptr},
        {nullptr, nullptr, "x", 9, 122, nullptr},
    };
    for (const auto& c : cases) {
        char buf[300];
        EXPECT_EQ(ZKMiscMakeSysObjName(c.a, c.b, c.path, c.size, buf), c.result) << c.size;
        if (c.text) {
            EXPECT_STREQ(buf, c.text);
        }
    }
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

}  // namespace
