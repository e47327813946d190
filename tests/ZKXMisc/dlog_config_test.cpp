// Loading a log's configuration from the registry, and loading it again.
#include <gtest/gtest.h>

#include <string>

#include "ZKDLogPriv.h"
#include "ZKUtil.h"
#include "misc_test_util.h"
#include "test_env.h"

namespace {

class DLogConfig : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ZKDLogCreate("CfgTest", 0, &log), 0u);
        char path[261];
        ZKMiscMakeRegPath("CfgTest", "Message", sizeof path, path);
        message = path;
    }
    void TearDown() override { ZKDLogDestroy(log, 0); }

    void set(const std::string& sub, const char* name, const std::string& value, DWORD type = REG_SZ) {
        ASSERT_EQ(zkx::test::put_reg_text(HKEY_LOCAL_MACHINE, message + sub, name, value, type), 0);
    }
    void remove(const std::string& sub, const char* name) {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, (message + sub).c_str(), &key), 0);
        RegDeleteValueA(key, name);
        RegCloseKey(key);
    }
    DWORD load() { return ZKDLogLoadCfg(log, 0, nullptr, 0, 0); }
    const ZKDLOG_OUTPUT& file() const { return log->aOutput[0]; }
    const ZKDLOG_OUTPUT& debug() const { return log->aOutput[1]; }

    PZKDLOG_HANDLE log = nullptr;
    std::string message;
};

TEST_F(DLogConfig, MissingKeyChangesNothingLevelNamesIgnoreCase) {
    EXPECT_EQ(load(), 2u);
    set("", "unrelated", "x");
    EXPECT_EQ(load(), 0u) << "the Message key exists now, without LOG or DBG";
    EXPECT_TRUE(file().wLevel == 0xFFFF && debug().wLevel == 0xFFFF && file().pszPath == nullptr);

    set("\\LOG", "OutputLevel", "eRr");
    set("\\DBG", "OutputLevel", "HI");
    ASSERT_EQ(load(), 0u);
    EXPECT_EQ(file().wLevel, 0x8000);
    EXPECT_EQ(debug().wLevel, 0xFFFF);
    EXPECT_EQ(file().pszPath, nullptr) << "no OutputTo: the file output stays off";
    // Unknown names let everything through.
    set("\\DBG", "OutputLevel", "LOUD");
    set("\\LOG", "OutputLevel", "7", REG_EXPAND_SZ);
    ASSERT_EQ(load(), 0u);
    EXPECT_EQ(debug().wLevel, 0);
    EXPECT_EQ(file().wLevel, 0x8000) << "a value of another type counts as absent";
}

TEST_F(DLogConfig, ReloadKeepsSwapsOrDropsTheFileAndItsMutex) {
    std::string a = zkx::test::temp_dir() + "/a.log";
    set("\\LOG", "OutputTo", a);
    set("\\LOG", "OutputLevel", "DBG");
    ASSERT_EQ(load(), 0u);
    ASSERT_NE(file().pszPath, nullptr);
    EXPECT_EQ(std::string(file().pszPath), a);
    HANDLE first = file().hFileMutex;
    ASSERT_NE(first, nullptr);

    std::string upper = a;
    for (char& c : upper) c = char(toupper(c));
    set("\\LOG", "OutputTo", upper);
    ASSERT_EQ(load(), 0u);
    EXPECT_EQ(file().hFileMutex, first) << "the same path in other letters keeps the mutex";
    EXPECT_EQ(std::string(file().pszPath), a);

    std::string b = zkx::test::temp_dir() + "/b.log";
    set("\\LOG", "OutputTo", b);
    ASSERT_EQ(load(), 0u);
    EXPECT_EQ(std::string(file().pszPath), b);
    ASSERT_NE(file().hFileMutex, nullptr);
    // The new mutex is the one named after b: another handle on it is the
    // same object, and the old handle is closed.
    char name[260];
    ZKMiscMakeSysObjName("ZKDLog", "LOGExcl", b.c_str(), sizeof name, name);
    HANDLE other = OpenMutexA(SYNCHRONIZE, FALSE, name);
    EXPECT_NE(other, nullptr);
    CloseHandle(other);
    EXPECT_FALSE(CloseHandle(first)) << "the old mutex handle was closed by the reload";

    remove("\\LOG", "OutputTo");
    set("\\LOG", "OutputLevel", "STA");
    ASSERT_EQ(load(), 0u);
    EXPECT_EQ(file().pszPath, nullptr);
    EXPECT_EQ(file().hFileMutex, nullptr);
    EXPECT_EQ(file().wLevel, 0x000B) << "the threshold is still read";
}

TEST_F(DLogConfig, CallerPathAndRoot) {
    ASSERT_EQ(zkx::test::put_reg_text(HKEY_CURRENT_USER, "Custom\\Place\\Message\\DBG", "OutputLevel", "CHK"), 0);
    EXPECT_EQ(ZKDLogLoadCfg(log, 0, "Custom\\Place", 0, 0), 2u) << "root 0 is HKLM";
    EXPECT_EQ(ZKDLogLoadCfg(log, 0x80000001u, "Custom\\Place", 0, 0), 0u);
    EXPECT_EQ(debug().wLevel, 0x0080);
    std::string too_long(300, 'p');
    EXPECT_NE(ZKDLogLoadCfg(log, 0x80000001u, too_long.c_str(), 0, 0), 0u);
    EXPECT_EQ(debug().wLevel, 0x0080) << "a path that does not fit opens nothing";
}

}  // namespace
