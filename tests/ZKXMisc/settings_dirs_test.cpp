#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ZKMiscPriv.h"
#include "child.h"
#include "settings_test_util.h"

using namespace zkx::test;

namespace {

using Getter = DWORD(ZKAPI*)(DWORD, DWORD, LPSTR, LPDWORD);

struct Got {
    DWORD rc;
    std::string text;
};

// Calls a getter and checks what every successful get promises: the length
// is the text's, and nothing behind the terminator was written.
Got get(Getter getter, DWORD size = 300) {
    char buf[320];
    std::memset(buf, '#', sizeof buf);
    DWORD length = 12345;
    DWORD rc = getter(0, size, buf, &length);
    if (rc != 0) {
        EXPECT_EQ(length, 12345u) << "the length is written only on success";
        return {rc, ""};
    }
    EXPECT_EQ(length, std::strlen(buf));
    EXPECT_EQ(buf[length + 1], '#');
    return {rc, buf};
}

std::string module_dir() {
    char path[ZKMISC_DIR_SIZE];
    DWORD n = GetModuleFileNameA(g_hZKMiscModule, path, sizeof path);
    std::string s(path, n);
    return s.substr(0, s.rfind('\\'));
}

int run_child(const char* name, const std::string& arg) {
    return wait_child(spawn_child(name, {arg}));
}

class Dirs : public ::testing::Test {
protected:
    void SetUp() override { fresh_settings(); }
};

TEST_F(Dirs, StoredValuesLoseOneTrailingBackslash) {
    put_text("ZKDir", "D:\\Prod\\");
    put_text("ZKDataDir", "\\");
    put_text("ZKDllDir", "E:\\Lib\\\\");
    EXPECT_EQ(get(ZKMiscGetZKDir).text, "D:\\Prod");
    Got data = get(ZKMiscGetDataDir);
    EXPECT_EQ(data.rc, 0u);
    EXPECT_EQ(data.text, "");
    EXPECT_EQ(get(ZKMiscGetDllDir).text, "E:\\Lib\\");
}

TEST_F(Dirs, DefaultsFollowTheModuleFile) {
    // A value of another type than REG_SZ is no value.
    put_setting("ZKDir", REG_EXPAND_SZ, "X:\\Other", 9);
    put_setting("ZKDataDir", REG_DWORD, "\1\0\0\0", 4);
    const std::string dir = module_dir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(get(ZKMiscGetZKDir).text, dir);
    EXPECT_EQ(get(ZKMiscGetDataDir).text, dir + "\\ZKWData");
    EXPECT_EQ(get(ZKMiscGetDllDir).text, dir);
}

TEST_F(Dirs, WindowsDirectoryWhenTheModulePathHasNoFolder) {
    HINSTANCE saved = g_hZKMiscModule;
    g_hZKMiscModule = reinterpret_cast<HINSTANCE>(&saved);  // no module lies there
    char windir[ZKMISC_DIR_SIZE];
    UINT n = GetWindowsDirectoryA(windir, sizeof windir);
    ASSERT_GT(n, 0u);
    std::string expected = std::string(windir) + (windir[n - 1] == '\\' ? "ZK" : "\\ZK");
    EXPECT_EQ(get(ZKMiscGetZKDir).text, expected);
    EXPECT_EQ(get(ZKMiscGetDataDir).text, expected + "\\ZKWData");
    g_hZKMiscModule = saved;

    // The default's own rules: one backslash between, and it must fit.
    char out[16];
    DWORD length = 0;
    EXPECT_EQ(zkutil_windows_zk_dir("C:\\", 3, out, sizeof out, &length), 0u);
    EXPECT_STREQ(out, "C:\\ZK");
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(zkutil_windows_zk_dir("C:\\WINDOWS", 10, out, 14, &length), 0u);
    EXPECT_STREQ(out, "C:\\WINDOWS\\ZK");
    EXPECT_EQ(zkutil_windows_zk_dir("C:\\WINDOWS", 10, out, 13, &length), 122u);

    // Where a module path's folder ends; the first byte is never a separator.
    struct {
        const char* path;
        DWORD dir;
    } const cases[] = {{"C:\\Prod\\bin\\ZKXMisc.dll", 11}, {"C:ZKXMisc.dll", 2},
                       {"\\ZKXMisc.dll", 0}, {"ZKXMisc.dll", 0}, {"", 0}};
    for (const auto& c : cases)
        EXPECT_EQ(zkutil_module_dir_length(c.path, DWORD(std::strlen(c.path))), c.dir) << c.path;
}

TEST_F(Dirs, CacheServesRetriesUntilDeleted) {
    put_text("ZKDir", "D:\\Prod");
    EXPECT_EQ(get(ZKMiscGetZKDir, 7).rc, 122u);
    put_text("ZKDir", "D:\\Changed");
    EXPECT_EQ(get(ZKMiscGetZKDir, 8).text, "D:\\Prod");
    EXPECT_EQ(ZKMiscGetZKDir(0, 0, nullptr, nullptr), 87u);
    char one[1];
    EXPECT_EQ(ZKMiscGetDataDir(0, 0, one, nullptr), 87u);
    EXPECT_EQ(ZKMiscGetDllDir(0, 8, nullptr, nullptr), 87u);

    EXPECT_EQ(ZKMiscSetZKDir(0, ZKMISC_FLAG_DELETE | ZKMISC_FLAG_STORE, nullptr), 0u);
    DWORD type;
    std::string bytes;
    EXPECT_EQ(read_setting("ZKDir", &type, &bytes), 2);
    EXPECT_EQ(get(ZKMiscGetZKDir).text, module_dir());
}

TEST_F(Dirs, SettersTrimStoreAndRefuse) {
    EXPECT_EQ(ZKMiscSetDataDir(0, ZKMISC_FLAG_STORE, "D:\\Data\\"), 0u);
    EXPECT_EQ(get(ZKMiscGetDataDir).text, "D:\\Data");
    DWORD type = 0;
    std::string bytes;
    ASSERT_EQ(read_setting("ZKDataDir", &type, &bytes), 0);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(bytes, std::string("D:\\Data", 8));

    // Without the store flag only this process's copy changes.
    EXPECT_EQ(ZKMiscSetZKDir(0, 0, "\\"), 0u);
    EXPECT_EQ(get(ZKMiscGetZKDir).text, "\\");
    EXPECT_EQ(read_setting("ZKDir", &type, &bytes), 2);

    EXPECT_EQ(ZKMiscSetDllDir(0, ZKMISC_FLAG_STORE, nullptr), 87u);
    EXPECT_EQ(ZKMiscSetDllDir(0, ZKMISC_FLAG_STORE, ""), 87u);
    EXPECT_EQ(ZKMiscSetZKDir(0, 0, std::string(261, 'z').c_str()), 122u);
    EXPECT_EQ(ZKMiscSetDataDir(0, 0, std::string(270, 'd').c_str()), 122u);
    EXPECT_EQ(get(ZKMiscGetZKDir).text, "\\") << "a refused set changes nothing";
    EXPECT_EQ(get(ZKMiscGetDataDir).text, "D:\\Data");
    // What fits once its trailing backslash is cut is taken.
    const std::string longest(269, 'd');
    EXPECT_EQ(ZKMiscSetDataDir(0, 0, (longest + "\\").c_str()), 0u);
    EXPECT_EQ(get(ZKMiscGetDataDir, 270).text, longest);
    EXPECT_EQ(ZKMiscSetZKDir(0, 0, std::string(260, 'z').c_str()), 0u);
}

TEST_F(Dirs, OverlongStoredValuesAreRefusedNotCut) {
    put_text("ZKDir", std::string(261, 'z'));
    put_text("ZKDllDir", std::string(261, 'l'));
    EXPECT_EQ(get(ZKMiscGetZKDir).rc, 122u);
    // No default is derived from a ZK directory that cannot be had.
    EXPECT_EQ(get(ZKMiscGetDataDir).rc, 122u);
    EXPECT_EQ(get(ZKMiscGetDllDir).rc, 122u);
    // Nothing was cached: repaired values are read at the next get.
    put_text("ZKDir", "D:\\Z");
    put_text("ZKDllDir", std::string(260, 'l'));
    EXPECT_EQ(get(ZKMiscGetDataDir).text, "D:\\Z\\ZKWData");
    EXPECT_EQ(get(ZKMiscGetDllDir, 261).text, std::string(260, 'l'));
}

TEST_F(Dirs, DerivedDefaultsKeepTheirFirstValue) {
    const std::string dir = module_dir();
    EXPECT_EQ(get(ZKMiscGetDataDir).text, dir + "\\ZKWData");
    EXPECT_EQ(ZKMiscSetZKDir(0, 0, "Q:\\New"), 0u);
    EXPECT_EQ(get(ZKMiscGetDataDir).text, dir + "\\ZKWData");
    EXPECT_EQ(get(ZKMiscGetDllDir).text, "Q:\\New");
}

ZKX_CHILD(store_zk_dir) { return int(ZKMiscSetZKDir(0, ZKMISC_FLAG_STORE, args[0].c_str())); }
ZKX_CHILD(set_zk_dir_here) { return int(ZKMiscSetZKDir(0, 0, args[0].c_str())); }
ZKX_CHILD(expect_zk_dir) {
    char buf[ZKMISC_DIR_SIZE];
    if (ZKMiscGetZKDir(0, sizeof buf, buf, nullptr) != 0) return 2;
    return args[0] == buf ? 0 : 1;
}

TEST_F(Dirs, ProcessesKeepTheirOwnCopies) {
    const std::string mine = get(ZKMiscGetZKDir).text;
    EXPECT_EQ(run_child("set_zk_dir_here", "L:\\Local"), 0);
    EXPECT_EQ(run_child("expect_zk_dir", mine), 0) << "a set without the store flag stays home";
    EXPECT_EQ(run_child("store_zk_dir", "S:\\Stored\\"), 0);
    EXPECT_EQ(get(ZKMiscGetZKDir).text, mine) << "this process had cached its copy";
    EXPECT_EQ(run_child("expect_zk_dir", "S:\\Stored"), 0) << "a fresh process reads the store";
}

}  // namespace
