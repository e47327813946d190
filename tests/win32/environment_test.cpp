// Modules, the Windows directory, the environment and the locale.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <string>

#include "fs_test_helpers.h"

using namespace zkx::test;

namespace {

void function_in_the_executable() {}

Dl_info info_of(const void* address) {
    Dl_info info{};
    dladdr(address, &info);
    return info;
}

std::string file_name_of(HMODULE module) {
    char buf[4096];
    return std::string(buf, GetModuleFileNameA(module, buf, sizeof buf));
}

std::string info(DWORD type, LCID lcid = LOCALE_USER_DEFAULT) {
    char buf[32];
    int n = GetLocaleInfoA(lcid, type, buf, sizeof buf);
    return n > 0 ? std::string(buf, size_t(n - 1)) : "error " + std::to_string(GetLastError());
}

// Only LANG set, as on most desktops.
struct LangOnly {
    ScopedEnv all{"LC_ALL", std::nullopt}, messages{"LC_MESSAGES", std::nullopt}, lang;
    explicit LangOnly(const char* value) : lang("LANG", std::string(value)) {}
};

}  // namespace

TEST(Modules, HandlesAreLoadBasesAndFileNamesWindowsPathsOfTheLoadedFiles) {
    ScopedEnv c("ZKX_DRIVE_C", "/nonexistent/c");  // keep the drives off the build tree
    char path[4096];
    std::string exe(path, size_t(std::max<ssize_t>(0, readlink("/proc/self/exe", path, sizeof path - 1))));
    std::string exe_name = exe.substr(exe.rfind('/') + 1);
    const void* in_exe = reinterpret_cast<void*>(&function_in_the_executable);
    HMODULE here = static_cast<HMODULE>(info_of(in_exe).dli_fbase);
    Dl_info layer_info = info_of(reinterpret_cast<void*>(&CreateFileA));
    HMODULE layer = static_cast<HMODULE>(layer_info.dli_fbase);

    EXPECT_EQ(GetModuleHandleA(nullptr), here);
    EXPECT_EQ(zkx_module_from_address(in_exe), here);
    EXPECT_EQ(GetModuleHandleA((exe_name + ".EXE").c_str()), here);
    for (const char* name : {"libzkxwin32.so", "LIBZKXWIN32.SO.0", "zkxwin32", "ZkxWin32.dll", "/x/libzkxwin32.so"})
        EXPECT_EQ(GetModuleHandleA(name), layer) << name;
    EXPECT_EQ(failure(GetModuleHandleA("no_such_module.dll") == nullptr), DWORD(ERROR_MOD_NOT_FOUND));

    EXPECT_EQ(file_name_of(nullptr), on_drive_z(exe));
    EXPECT_EQ(file_name_of(layer), on_drive_z(layer_info.dli_fname));
    ScopedEnv e("ZKX_DRIVE_E", exe.substr(0, exe.rfind('/')));
    EXPECT_EQ(file_name_of(nullptr), "E:\\" + exe_name);

    // Short buffers get a terminated prefix.
    DWORD len = DWORD(exe_name.size() + 3);
    std::string buf(len + 8, '#');
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, &buf[0], len), len);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(buf.c_str()), ("E:\\" + exe_name).substr(0, len - 1));
    EXPECT_EQ(buf[len], '#');
    EXPECT_EQ(failure(GetModuleFileNameA(nullptr, &buf[0], 0) == 0), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(failure(GetModuleFileNameA(nullptr, nullptr, 10) == 0), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(failure(GetModuleFileNameA(reinterpret_cast<HMODULE>(uintptr_t(0x1000)), &buf[0], 16) == 0),
              DWORD(ERROR_MOD_NOT_FOUND));
}

TEST(Environment, WindowsDirectoryAndVariablesFollowWin32Rules) {
    char dir[16] = "untouched";
    EXPECT_EQ(GetWindowsDirectoryA(dir, 10), 11u);
    EXPECT_STREQ(dir, "untouched");
    EXPECT_EQ(GetWindowsDirectoryA(dir, 11), 10u);
    EXPECT_STREQ(dir, "C:\\WINDOWS");

    ScopedEnv var("ZKX_TEST_VALUE", "abc"), empty("ZKX_TEST_EMPTY", "");
    char buf[8] = "#######";
    EXPECT_EQ(GetEnvironmentVariableA("ZKX_TEST_VALUE", buf, 3), 4u);
    EXPECT_EQ(buf[0], '#');  // too small: untouched
    EXPECT_EQ(GetEnvironmentVariableA("zkx_Test_value", buf, sizeof buf), 3u);  // names ignore case
    EXPECT_STREQ(buf, "abc");
    SetLastError(99);
    EXPECT_EQ(GetEnvironmentVariableA("ZKX_TEST_EMPTY", buf, sizeof buf), 0u);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(failure(GetEnvironmentVariableA("ZKX_TEST_MISSING", buf, 8) == 0), DWORD(ERROR_ENVVAR_NOT_FOUND));
    EXPECT_EQ(failure(GetEnvironmentVariableA(nullptr, buf, 8) == 0), DWORD(ERROR_INVALID_PARAMETER));
}

// The installation settings keep the first two letters of the language
// abbreviation as their language code, so every language they know must
// come out right, besides the usual spellings of POSIX locale names.
TEST(Locale, AbbreviationsFollowThePosixLocale) {
    const char* const cases[][3] = {
        {"en_US.UTF-8", "ENU", "USA"}, {"de_DE", "DEU", "DEU"},      {"fr_FR@euro", "FRA", "FRA"},
        {"it_IT", "ITA", "ITA"},       {"es_ES", "ESN", "ESP"},      {"nl_NL", "NLD", "NLD"},
        {"sv_SE", "SVE", "SWE"},       {"da_DK", "DAN", "DNK"},      {"nb_NO", "NOR", "NOR"},
        {"cs_CZ", "CSY", "CZE"},       {"hu_HU", "HUN", "HUN"},      {"pt_BR", "PTB", "BRA"},
        {"pl_PL", "PLK", "POL"},       {"fi_FI", "FIN", "FIN"},      {"ja_JP.eucJP", "JPN", "JPN"},
        {"ru_RU", "RUS", "RUS"},       {"sk_SK", "SKY", "SVK"},      {"zh_TW.Big5", "CHT", "TWN"},
        {"ko_KR", "KOR", "KOR"},       {"tr_TR", "TRK", "TUR"},      {"el_GR", "ELL", "GRC"},
        {"is_IS", "ISL", "ISL"},       {"en_GB", "ENG", "GBR"},      {"fr_CA", "FRC", "CAN"},
        {"de", "DEU", "DEU"},          {"de_BE", "DEU", "BEL"},      {"C", "ENU", "USA"},
        {"POSIX", "ENU", "USA"},       {"C.UTF-8", "ENU", "USA"},    {"xx_YY", "ENU", "USA"},
        {"", "ENU", "USA"},
    };
    for (const auto& k : cases) {
        LangOnly env(k[0]);
        EXPECT_EQ(info(LOCALE_SABBREVLANGNAME), k[1]) << k[0];
        EXPECT_EQ(info(LOCALE_SABBREVCTRYNAME, LOCALE_SYSTEM_DEFAULT), k[2]) << k[0];
    }
    // LC_ALL, then LC_MESSAGES, then LANG; empty counts as unset.
    ScopedEnv lang("LANG", "de_DE.UTF-8"), messages("LC_MESSAGES", "fr_FR"), all("LC_ALL", "");
    EXPECT_EQ(info(LOCALE_SABBREVLANGNAME), "FRA");
    ScopedEnv all_set("LC_ALL", "ja_JP");
    EXPECT_EQ(info(LOCALE_SABBREVLANGNAME), "JPN");
}

TEST(Locale, BufferRulesAndOtherFields) {
    LangOnly env("fr_CA.UTF-8");
    char buf[8] = "#######";
    auto get = [&](LPSTR out, int size) { return GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SABBREVLANGNAME, out, size); };
    EXPECT_EQ(get(nullptr, 0), 4);
    EXPECT_EQ(failure(get(buf, 3) == 0), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(get(buf, 4), 4);
    EXPECT_STREQ(buf, "FRC");
    EXPECT_EQ(failure(get(buf, -1) == 0), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(failure(get(nullptr, 4) == 0), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(info(0x1234), "error 1004");
    EXPECT_EQ(info(LOCALE_SABBREVLANGNAME, 0x9999), "error 87");

    EXPECT_EQ(info(LOCALE_ILANGUAGE) + info(LOCALE_SISO639LANGNAME) + info(LOCALE_SISO3166CTRYNAME), "0c0cfrCA");
    EXPECT_EQ(info(LOCALE_SABBREVLANGNAME, 0x0407) + info(LOCALE_SABBREVCTRYNAME, 0x0816), "DEUPRT");
}
