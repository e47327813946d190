#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ZKMiscPriv.h"
#include "child.h"
#include "settings_test_util.h"

using namespace zkx::test;

namespace {

using Getter = DWORD(ZKAPI*)(DWORD, DWORD, LPSTR, LPDWORD);

// The directory, or "rc <code>".  Checks what every get promises: the
// length is the text's and nothing behind the terminator is written.
std::string get(Getter getter, DWORD size = 300) {
    char buf[320];
    std::memset(buf, '#', sizeof buf);
    DWORD length = 12345;
    DWORD rc = getter(0, size, buf, &length);
    if (rc) {
        EXPECT_EQ(length, 12345u);
        return "rc " + std::to_string(rc);
    }
    EXPECT_EQ(length, std::strlen(buf));
    EXPECT_EQ(buf[length + 1], '#');
    return buf;
}

std::string module_dir() {
    char path[ZKMISC_DIR_SIZE];
    std::string s(path, GetModuleFileNameA(g_hZKMiscModule, path, sizeof path));
    return s.substr(0, s.rfind('\\'));
}

using Dirs = FreshSettings;

TEST_F(Dirs, StoredValuesLoseOneTrailingBackslash) {
    put_text("ZKDir", "D:\\Prod\\");
    put_text("ZKDataDir", "\\");
    put_text("ZKDllDir", "E:\\Lib\\\\");
    EXPECT_EQ(get(ZKMiscGetZKDir), "D:\\Prod");
    EXPECT_EQ(get(ZKMiscGetDataDir), "");
    EXPECT_EQ(get(ZKMiscGetDllDir), "E:\\Lib\\");
}

TEST_F(Dirs, DefaultsFollowTheModuleThenTheWindowsDirectory) {
    put_setting("ZKDir", REG_EXPAND_SZ, "X:\\Other", 9);  // another type is no value
    const std::string dir = module_dir();
    ASSERT_NE(dir.find('\\'), std::string::npos);
    EXPECT_EQ(get(ZKMiscGetZKDir), dir);
    EXPECT_EQ(get(ZKMiscGetDataDir), dir + "\\ZKWData");
    EXPECT_EQ(get(ZKMiscGetDllDir), dir);

    fresh_settings();
    HINSTANCE saved = g_hZKMiscModule;
    g_hZKMiscModule = reinterpret_cast<HINSTANCE>(&saved);  // no module lies there
    char windir[ZKMISC_DIR_SIZE];
    ASSERT_GT(GetWindowsDirectoryA(windir, sizeof windir), 0u);
    EXPECT_EQ(get(ZKMiscGetDataDir), std::string(windir) + "\\ZK\\ZKWData");
    g_hZKMiscModule = saved;

    char out[16];
    DWORD length = 0;
    EXPECT_EQ(zkutil_windows_zk_dir("C:\\", 3, out, sizeof out, &length), 0u);
    EXPECT_STREQ(out, "C:\\ZK");
    EXPECT_EQ(zkutil_windows_zk_dir("C:\\WINDOWS", 10, out, 13, &length), 122u);
    // Where a module path's folder ends; its first byte is never a separator.
    EXPECT_EQ(zkutil_module_dir_length("C:\\Prod\\bin\\ZKXMisc.dll", 23), 11u);
    EXPECT_EQ(zkutil_module_dir_length("C:ZKXMisc.dll", 13), 2u);
    EXPECT_EQ(zkutil_module_dir_length(":ZKXMisc.dll", 12), 0u);
}

TEST_F(Dirs, CacheServesRetriesUntilDeleted) {
    put_text("ZKDir", "D:\\Prod");
    EXPECT_EQ(get(ZKMiscGetZKDir, 7), "rc 122");
    put_text("ZKDir", "D:\\Changed");
    EXPECT_EQ(get(ZKMiscGetZKDir, 8), "D:\\Prod");

    EXPECT_EQ(ZKMiscSetZKDir(0, ZKMISC_FLAG_DELETE | ZKMISC_FLAG_STORE, nullptr), 0u);
    EXPECT_EQ(stored("ZKDir"), "absent");
    EXPECT_EQ(get(ZKMiscGetZKDir), module_dir());
}

TEST_F(Dirs, SettersTrimStoreAndRefuse) {
    EXPECT_EQ(ZKMiscSetDataDir(0, ZKMISC_FLAG_STORE, "D:\\Data\\"), 0u);
    EXPECT_EQ(get(ZKMiscGetDataDir), "D:\\Data");
    EXPECT_EQ(stored("ZKDataDir"), std::string("1:D:\\Data", 10));
    EXPECT_EQ(ZKMiscSetZKDir(0, 0, "\\"), 0u);
    EXPECT_EQ(get(ZKMiscGetZKDir), "\\");
    EXPECT_EQ(stored("ZKDir"), "absent");
    // A derived default, once cached, does not follow the ZK directory.
    EXPECT_EQ(get(ZKMiscGetDllDir), "\\");
    ZKMiscSetZKDir(0, 0, "Q:\\New");
    EXPECT_EQ(get(ZKMiscGetDllDir), "\\");

    EXPECT_EQ(ZKMiscSetDllDir(0, 0, nullptr), 87u);
    EXPECT_EQ(ZKMiscSetDllDir(0, 0, ""), 87u);
    EXPECT_EQ(ZKMiscSetZKDir(0, 0, std::string(261, 'z').c_str()), 122u);
    EXPECT_EQ(ZKMiscSetDataDir(0, 0, std::string(270, 'd').c_str()), 122u);
    EXPECT_EQ(get(ZKMiscGetDataDir), "D:\\Data") << "a refused set changes nothing";
    const std::string longest(269, 'd');
    EXPECT_EQ(ZKMiscSetDataDir(0, 0, (longest + "\\").c_str()), 0u);
    EXPECT_EQ(get(ZKMiscGetDataDir, 270), longest);
}

TEST_F(Dirs, OverlongStoredValuesAreRefusedNotCut) {
    put_text("ZKDir", std::string(261, 'z'));
    put_text("ZKDllDir", std::string(261, 'l'));
    EXPECT_EQ(get(ZKMiscGetZKDir), "rc 122");
    EXPECT_EQ(get(ZKMiscGetDataDir), "rc 122") << "nothing is derived from nothing";
    EXPECT_EQ(get(ZKMiscGetDllDir), "rc 122");
    put_text("ZKDir", "D:\\Z");
    put_text("ZKDllDir", std::string(260, 'l'));
    EXPECT_EQ(get(ZKMiscGetDataDir), "D:\\Z\\ZKWData");
    EXPECT_EQ(get(ZKMiscGetDllDir, 261), std::string(260, 'l'));
}

ZKX_CHILD(set_zk_dir) {
    return int(ZKMiscSetZKDir(0, args[1] == "store" ? ZKMISC_FLAG_STORE : 0, args[0].c_str()));
}
ZKX_CHILD(expect_zk_dir) {
    char buf[ZKMISC_DIR_SIZE];
    return ZKMiscGetZKDir(0, sizeof buf, buf, nullptr) == 0 && args[0] == buf ? 0 : 1;
}

TEST_F(Dirs, ProcessesKeepTheirOwnCopies) {
    auto run = [](const char* name, const std::string& dir, const char* how = "") {
        return wait_child(spawn_child(name, {dir, how}));
    };
    const std::string mine = get(ZKMiscGetZKDir);
    EXPECT_EQ(run("set_zk_dir", "L:\\Local"), 0);
    EXPECT_EQ(run("expect_zk_dir", mine), 0) << "a set without the store flag stays home";
    EXPECT_EQ(run("set_zk_dir", "S:\\Stored\\", "store"), 0);
    EXPECT_EQ(get(ZKMiscGetZKDir), mine) << "this process had its copy cached";
    EXPECT_EQ(run("expect_zk_dir", "S:\\Stored"), 0);
}

}  // namespace
