// Modules, the Windows directory and the environment.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "fs_test_helpers.h"
#include "zkxwin32.h"

using namespace zkx::test;

namespace {

void function_in_the_executable() {}

std::string executable() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return std::string(buf, n > 0 ? size_t(n) : 0);
}

Dl_info layer_info() {
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&CreateFileA), &info);
    return info;
}

std::string file_name_of(HMODULE module) {
    char buf[4096];
    DWORD n = GetModuleFileNameA(module, buf, sizeof buf);
    return std::string(buf, n);
}

}  // namespace

TEST(Modules, FileNamesAreWindowsPathsOfTheLoadedFiles) {
    // Keep the drives off the build tree, then map one onto it.
    ScopedEnv c("ZKX_DRIVE_C", "/nonexistent/c");
    std::string exe = executable();
    EXPECT_EQ(file_name_of(nullptr), on_drive_z(exe));
    Dl_info info = layer_info();
    ASSERT_NE(info.dli_fbase, nullptr);
    EXPECT_EQ(file_name_of(static_cast<HMODULE>(info.dli_fbase)), on_drive_z(info.dli_fname));

    std::string dir = exe.substr(0, exe.rfind('/'));
    ScopedEnv e("ZKX_DRIVE_E", dir);
    EXPECT_EQ(file_name_of(nullptr), "E:" + on_drive_z(exe.substr(dir.size())).substr(2));

    SetLastError(0);
    char buf[16];
    EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(uintptr_t(0x1000)), buf, sizeof buf), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
}

TEST(Modules, ShortBuffersGetATerminatedPrefix) {
    std::string full = file_name_of(nullptr);
    ASSERT_GT(full.size(), 4u);
    DWORD len = DWORD(full.size());
    std::string buf(len + 8, '#');

    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, &buf[0], len + 1), len);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_STREQ(buf.c_str(), full.c_str());

    buf.assign(len + 8, '#');
    EXPECT_EQ(GetModuleFileNameA(nullptr, &buf[0], len), len);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(buf.c_str()), full.substr(0, len - 1));
    EXPECT_EQ(buf[len], '#');  // nothing past the buffer

    EXPECT_EQ(GetModuleFileNameA(nullptr, &buf[0], 1), 1u);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(GetModuleFileNameA(nullptr, &buf[0], 0), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(GetModuleFileNameA(nullptr, nullptr, 10), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST(Modules, HandlesAreLoadBasesFoundByName) {
    Dl_info self{};
    ASSERT_TRUE(dladdr(reinterpret_cast<void*>(&function_in_the_executable), &self));
    EXPECT_EQ(GetModuleHandleA(nullptr), static_cast<HMODULE>(self.dli_fbase));
    EXPECT_EQ(zkx_module_from_address(reinterpret_cast<void*>(&function_in_the_executable)),
              static_cast<HMODULE>(self.dli_fbase));

    HMODULE layer = static_cast<HMODULE>(layer_info().dli_fbase);
    for (const char* name : {"libzkxwin32.so", "LIBZKXWIN32.SO.0", "zkxwin32", "ZkxWin32.dll", "/any/dir/libzkxwin32.so"}) {
        EXPECT_EQ(GetModuleHandleA(name), layer) << name;
    }
    std::string exe = executable();
    std::string exe_name = exe.substr(exe.rfind('/') + 1);
    EXPECT_EQ(GetModuleHandleA((exe_name + ".exe").c_str()), GetModuleHandleA(nullptr));

    SetLastError(0);
    EXPECT_EQ(GetModuleHandleA("no_such_module.dll"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(GetModuleHandleA(""), nullptr);
    EXPECT_EQ(zkx_module_from_address(nullptr), nullptr);
}

TEST(WindowsDirectory, IsOnDriveCAndReportsTheSizeItNeeds) {
    char buf[32];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(GetWindowsDirectoryA(buf, sizeof buf), 10u);
    EXPECT_STREQ(buf, "C:\\WINDOWS");
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(GetWindowsDirectoryA(buf, 10), 11u);
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(GetWindowsDirectoryA(buf, 11), 10u);
    EXPECT_EQ(GetWindowsDirectoryA(nullptr, 0), 11u);
}

TEST(Environment, VariablesFollowWin32Rules) {
    ScopedEnv var("ZKX_TEST_VALUE", "abc");
    ScopedEnv empty("ZKX_TEST_EMPTY", "");
    char buf[8];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(GetEnvironmentVariableA("ZKX_TEST_VALUE", buf, sizeof buf), 3u);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(GetEnvironmentVariableA("zkx_test_value", buf, sizeof buf), 3u);  // names ignore case
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(GetEnvironmentVariableA("ZKX_TEST_VALUE", buf, 3), 4u);
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(GetEnvironmentVariableA("ZKX_TEST_VALUE", nullptr, 0), 4u);

    SetLastError(99);
    EXPECT_EQ(GetEnvironmentVariableA("ZKX_TEST_EMPTY", buf, sizeof buf), 0u);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(GetEnvironmentVariableA("ZKX_TEST_MISSING", buf, sizeof buf), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ENVVAR_NOT_FOUND));
    EXPECT_EQ(GetEnvironmentVariableA("ZKX_TEST_VALUE=abc", buf, sizeof buf), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ENVVAR_NOT_FOUND));
    EXPECT_EQ(GetEnvironmentVariableA(nullptr, buf, sizeof buf), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}
