// Windows paths on the host's file system, the file calls that take them,
// modules, the Windows directory, the environment and the locale: what the
// layer maps onto the Linux system, so none of it runs on Windows.
#include <dlfcn.h>
#include <sys/stat.h>

#include "fs_test_helpers.h"
#include "system/path_map.h"

using namespace zkx::win32;
using namespace zkx::test;

namespace {

std::string error(DWORD code) { return "error " + std::to_string(code); }

std::string host_of(const std::string& path, size_t max_chars = kMaxPathChars) {
    std::string host;
    DWORD e = path_to_host(path.c_str(), &host, max_chars);
    return e ? error(e) : host;
}

const std::string kNotFound = error(ERROR_PATH_NOT_FOUND), kBadName = error(ERROR_INVALID_NAME),
                  kTooLong = error(ERROR_FILENAME_EXCED_RANGE);

struct Drives : ::testing::Test {
    std::string c_ = make_dir("c"), d_ = make_dir("d");
    ScopedEnv drive_c_{"ZKX_DRIVE_C", c_};
    ScopedEnv drive_d_{"ZKX_DRIVE_D", d_ + "/"};
};
using PathMap = Drives;
using Files = Drives;

std::string on_drive_z(std::string host) {
    for (char& c : host) c = c == '/' ? '\\' : c;
    return "Z:" + host;
}

std::string info(DWORD type, LCID lcid = LOCALE_USER_DEFAULT) {
    char buf[32];
    int n = GetLocaleInfoA(lcid, type, buf, sizeof buf);
    return n > 0 ? std::string(buf, size_t(n - 1)) : error(GetLastError());
}

}  // namespace

// Each Windows path against its host path or error, in the order given:
// the settings of a row stay for the rows after it.
void expect_hosts(const std::vector<std::pair<std::string, std::string>>& rows) {
    for (const auto& [path, host] : rows) EXPECT_EQ(host_of(path), host) << path;
}

TEST_F(PathMap, DriveLettersTheirSettingsSpellingRulesAndCase) {
    // Host paths show on the longest containing drive.
    ScopedEnv e("ZKX_DRIVE_E", c_ + "/inner");
    EXPECT_EQ(path_to_windows(c_), "C:\\");
    EXPECT_EQ(path_to_windows(c_ + "/inner/f"), "E:\\f");
    EXPECT_EQ(path_to_windows(c_ + "/innerx"), "C:\\innerx");
    EXPECT_EQ(path_to_windows(c_ + "x/f"), on_drive_z(c_ + "x/f"));  // a shared prefix is not enough
    EXPECT_EQ(path_to_windows("/"), "Z:\\");
    char buf[8];
    EXPECT_EQ(zkx_path_to_windows((c_ + "/a/../b").c_str(), buf, 4), 5u);  // with the terminator

    make_dir("c/Data");
    for (const char* name : {"Data/Log.TXT", "ab", "AB", "Ab"}) write_file(c_ + "/" + name, "");
    expect_hosts({
        {"/tmp//a/./b/../c\\d", "/tmp/a/c/d"}, {"/tmp/name.", "/tmp/name."},  // no Win32 trimming for POSIX paths
        {"C:\\dir.\\file. .", c_ + "/dir/file"}, {"C:\\a...\\keep. \\", c_ + "/a.../keep. "},
        {"C:\\a?b", kBadName}, {"C:\\a:b", kBadName}, {"a|b", kBadName}, {"C:\\a\x01", kBadName}, {"", kNotFound},
        {"\\\\server\\share\\x", kNotFound}, {"c:/a\\b//c\\", c_ + "/a/b/c"}, {"C:\\", c_}, {"d:\\x", d_ + "/x"},
        {"Q:\\x", kNotFound}, {"C:\\..\\..\\x\\.\\y\\..\\z", c_ + "/x/z"},  // never above the drive
        // Existing names are found ignoring case.  Names still to be created
        // keep their spelling; POSIX paths are not folded; an exact name wins,
        // else the smallest in byte order.
        {"C:\\DATA\\log.txt", c_ + "/Data/Log.TXT"}, {"c:/data/New.txt", c_ + "/Data/New.txt"},
        {"C:\\nothing\\DATA", c_ + "/nothing/DATA"}, {c_ + "/data", c_ + "/data"},
        {"C:\\ab", c_ + "/ab"}, {"C:\\aB", c_ + "/AB"},
    });
    ScopedEnv q("ZKX_DRIVE_Q", "relative/dir"), z("ZKX_DRIVE_Z", "/srv");
    expect_hosts({{"Q:\\x", kNotFound}, {"Z:\\etc", "/etc"}});  // Z: is always the root
    ScopedEnv c_unset("ZKX_DRIVE_C", std::nullopt);
    EXPECT_EQ(host_of("C:\\WINDOWS\\x"), "/var/lib/zkx/drive_c/WINDOWS/x");
    ScopedEnv c_empty("ZKX_DRIVE_C", "");
    EXPECT_EQ(host_of("C:\\x"), kNotFound);
}

TEST_F(PathMap, RelativePathsFollowTheCurrentDirectoryAndLengthsAreLimited) {
    std::string longest = "C:\\" + std::string(MAX_PATH - 4, 'x');  // 259 characters
    expect_hosts({{longest, c_ + "/" + longest.substr(3)}, {longest + "y", kTooLong},
                  {"/" + std::string(300, 'p'), kTooLong}});
    EXPECT_EQ(host_of(longest.substr(0, 247), kMaxDirectoryChars), c_ + "/" + longest.substr(3, 244));
    EXPECT_EQ(host_of(longest.substr(0, 248), kMaxDirectoryChars), kTooLong);

    ScopedCwd deep(make_dir("c/" + std::string(200, 'd')));  // C:\ddd...: 203 characters
    EXPECT_NE(host_of(std::string(55, 'f')), kTooLong);
    EXPECT_EQ(host_of(std::string(56, 'f')), kTooLong);
    ScopedCwd cwd(make_dir("c/sub"));
    expect_hosts({{".\\a\\..\\file", c_ + "/sub/file"}, {"..\\..\\..\\x", c_ + "/x"}, {"\\top.txt", c_ + "/top.txt"},
                  {"C:rel", c_ + "/sub/rel"}, {"D:rel", d_ + "/rel"}});
    ScopedCwd elsewhere(temp_dir());
    expect_hosts({{"\\etc", "/etc"}, {"x/y", temp_dir() + "/x/y"}});
}

TEST_F(Files, CreationDispositionsAndTheCallsByName) {
    // The error of a failure or 0, the last error after success, and the
    // content afterwards (null: no file).
    struct { DWORD disposition; bool exists; DWORD failure, last_error; const char* content; } const cases[] = {
        {CREATE_NEW, false, 0, 0, ""}, {CREATE_NEW, true, ERROR_FILE_EXISTS, 0, "old"},
        {CREATE_ALWAYS, false, 0, 0, ""}, {CREATE_ALWAYS, true, 0, ERROR_ALREADY_EXISTS, ""},
        {OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND, 0, nullptr}, {OPEN_EXISTING, true, 0, 0, "old"},
        {OPEN_ALWAYS, false, 0, 0, ""}, {OPEN_ALWAYS, true, 0, ERROR_ALREADY_EXISTS, "old"},
        {TRUNCATE_EXISTING, false, ERROR_FILE_NOT_FOUND, 0, nullptr}, {TRUNCATE_EXISTING, true, 0, 0, ""},
    };
    std::string host = c_ + "/f.txt";
    for (const auto& k : cases) {
        SCOPED_TRACE(testing::Message() << "disposition " << k.disposition << (k.exists ? " on a file" : ""));
        unlink(host.c_str());
        if (k.exists) write_file(host, "old");
        SetLastError(12345);
        HANDLE h = open_path("C:\\f.txt", GENERIC_WRITE, 0, k.disposition);
        const DWORD e = GetLastError();
        EXPECT_EQ(h == INVALID_HANDLE_VALUE ? e : 0, k.failure);
        EXPECT_EQ(h == INVALID_HANDLE_VALUE ? 0 : e, k.last_error);
        CloseHandle(h);
        EXPECT_EQ(access(host.c_str(), F_OK) == 0 ? read_file(host) : "no file", k.content ? k.content : "no file");
    }
    const DWORD kNoDisposition = 6;  // one past the largest
    EXPECT_EQ(open_result("C:\\no\\new", GENERIC_WRITE, 0, CREATE_ALWAYS), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(open_result("C:\\f.txt\\below", GENERIC_READ, 0, OPEN_EXISTING), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(open_result("C:\\f.txt", GENERIC_READ, 0, kNoDisposition), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(open_result("C:\\f.txt", GENERIC_READ, 0, TRUNCATE_EXISTING), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(open_result("C:\\f.txt", GENERIC_READ, 0x100, OPEN_EXISTING), DWORD(ERROR_INVALID_PARAMETER));

    EXPECT_TRUE(CreateDirectoryA("C:\\New", nullptr));
    EXPECT_EQ(GetFileAttributesA("c:\\new\\"), DWORD(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(open_result("C:\\new", GENERIC_READ, 0, OPEN_EXISTING), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(failure(!CreateDirectoryA("C:\\NEW", nullptr)), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(failure(!CreateDirectoryA("C:\\a\\b", nullptr)), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(failure(!CreateDirectoryA(("C:\\" + std::string(245, 'x')).c_str(), nullptr)),
              DWORD(ERROR_FILENAME_EXCED_RANGE));
    write_file(c_ + "/g.txt", "g");
    EXPECT_EQ(failure(!MoveFileExA("C:\\g.txt", "C:\\f.txt", 0)), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(failure(!MoveFileExA("C:\\g.txt", nullptr, MOVEFILE_REPLACE_EXISTING)), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(MoveFileExA("C:\\g.txt", "C:\\f.txt", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(read_file(host), "g");
    chmod(host.c_str(), 0444);
    EXPECT_EQ(GetFileAttributesA("C:\\f.txt"), DWORD(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(failure(GetFileAttributesA("C:\\none") == INVALID_FILE_ATTRIBUTES), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(failure(GetFileAttributesA("C:\\none\\x") == INVALID_FILE_ATTRIBUTES), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(failure(!DeleteFileA("C:\\new")), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(DeleteFileA("C:\\F.txt"));
    EXPECT_EQ(failure(!DeleteFileA("C:\\f.txt")), DWORD(ERROR_FILE_NOT_FOUND));

    FILE* f = zkx_fopen("C:\\new\\zkx.ver", "wb");
    ASSERT_NE(f, nullptr);
    fwrite("12345678", 1, 8, f);
    fclose(f);
    EXPECT_EQ(read_file(c_ + "/New/zkx.ver"), "12345678");
    EXPECT_EQ(failure(zkx_fopen("C:\\new\\missing", "rb") == nullptr), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(failure(zkx_fopen("Q:\\x", "rb") == nullptr), DWORD(ERROR_PATH_NOT_FOUND));
}

TEST_F(Files, ReadWriteSeekSizeAndTheChecksOfHandleAccessAndArguments) {
    HANDLE h = open_path("C:\\data.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "hello world", 11, &n, nullptr) && n == 11u);
    EXPECT_EQ(SetFilePointer(h, 6, nullptr, FILE_BEGIN), 6u);
    char buf[64];
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "world");
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr) && n == 0u);  // end of file is no failure
    EXPECT_EQ(SetFilePointer(h, -3, nullptr, FILE_END), 8u);
    EXPECT_EQ(SetFilePointer(h, -100, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(SetFilePointer(h, 1, nullptr, FILE_CURRENT), 9u);  // the failure did not move it

    // Past 4 GiB only with the high part, in both directions.
    LONG high = 1;
    EXPECT_EQ(SetFilePointer(h, 0x40000000, &high, FILE_BEGIN), 0x40000000u);
    ASSERT_TRUE(WriteFile(h, "z", 1, &n, nullptr));
    DWORD size_high = 0;
    EXPECT_EQ(GetFileSize(h, &size_high), 0x40000001u);
    EXPECT_EQ(size_high, 1u);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    high = 0;
    SetLastError(99);
    EXPECT_EQ(SetFilePointer(h, -1, &high, FILE_BEGIN), 0xFFFFFFFFu);  // a position, not a failure
    EXPECT_EQ(GetLastError(), 0u);
    CloseHandle(h);

    // Each handle may do only what it was opened for.
    HANDLE w = open_path("C:\\data.bin", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    HANDLE r = open_path("C:\\data.bin", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    n = 7;
    EXPECT_EQ(failure(!ReadFile(w, buf, sizeof buf, &n, nullptr)), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(failure(!WriteFile(r, "x", 1, &n, nullptr)), DWORD(ERROR_ACCESS_DENIED));
    for (HANDLE x : {w, r}) CloseHandle(x);
    for (HANDLE bad : {w, HANDLE(nullptr), INVALID_HANDLE_VALUE})
        EXPECT_EQ(failure(!WriteFile(bad, "x", 1, &n, nullptr)), DWORD(ERROR_INVALID_HANDLE));
}

TEST(Modules, HandlesAreLoadBasesAndFileNamesWindowsPathsOfTheLoadedFiles) {
    ScopedEnv c("ZKX_DRIVE_C", "/nonexistent/c");  // keep the drives off the build tree
    std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
    const void* in_exe = reinterpret_cast<void*>(&on_drive_z);
    Dl_info exe_info{}, layer_info{};
    dladdr(in_exe, &exe_info);
    dladdr(reinterpret_cast<void*>(&CreateFileA), &layer_info);
    HMODULE here = static_cast<HMODULE>(exe_info.dli_fbase), layer = static_cast<HMODULE>(layer_info.dli_fbase);

    EXPECT_EQ(GetModuleHandleA(nullptr), here);
    EXPECT_EQ(zkx_module_from_address(in_exe), here);
    EXPECT_EQ(GetModuleHandleA((exe.substr(exe.rfind('/') + 1) + ".EXE").c_str()), here);
    for (const char* name : {"libzkxwin32.so", "LIBZKXWIN32.SO.0", "zkxwin32", "ZkxWin32.dll", "/x/libzkxwin32.so"})
        EXPECT_EQ(GetModuleHandleA(name), layer) << name;
    EXPECT_EQ(failure(GetModuleHandleA("no_such_module.dll") == nullptr), DWORD(ERROR_MOD_NOT_FOUND));

    std::string buf(4096, '#');
    EXPECT_EQ(buf.substr(0, GetModuleFileNameA(layer, &buf[0], 4096)), on_drive_z(layer_info.dli_fname));
    EXPECT_EQ(buf.substr(0, GetModuleFileNameA(nullptr, &buf[0], 4096)), on_drive_z(exe));

    // Short buffers get a terminated prefix.
    DWORD len = DWORD(on_drive_z(exe).size());  // no room for the terminator
    buf.assign(len + 8, '#');
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, &buf[0], len), len);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(buf.c_str()), on_drive_z(exe).substr(0, len - 1));
    EXPECT_EQ(buf[len], '#');
    EXPECT_EQ(failure(GetModuleFileNameA(nullptr, &buf[0], 0) == 0), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(failure(GetModuleFileNameA(reinterpret_cast<HMODULE>(uintptr_t(0x1000)), &buf[0], 16) == 0),
              DWORD(ERROR_MOD_NOT_FOUND));
}

TEST(Environment, WindowsDirectoryVariablesAndErrorModeFollowWin32Rules) {
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
    ScopedEnv equals("ZKX_TEST_EQ", "B=C");  // no name holds "=": not "ZKX_TEST_EQ" followed by "B="
    EXPECT_EQ(failure(GetEnvironmentVariableA("ZKX_TEST_EQ=B", buf, 8) == 0), DWORD(ERROR_ENVVAR_NOT_FOUND));

    // The error mode is process-wide and keeps the alignment bit once set.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    EXPECT_EQ(SetErrorMode(SEM_NOALIGNMENTFAULTEXCEPT), SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    EXPECT_EQ(SetErrorMode(SEM_FAILCRITICALERRORS), SEM_NOALIGNMENTFAULTEXCEPT);
    EXPECT_EQ(GetErrorMode(), SEM_FAILCRITICALERRORS | SEM_NOALIGNMENTFAULTEXCEPT);
}

// The installation settings keep the first two letters of the language
// abbreviation as their language code, so those codes must come out right
// (here languages whose codes are not plain prefixes, and countries that
// change them), besides the usual spellings of POSIX locale names.  Only
// LANG set, as on most desktops.
TEST(Locale, AbbreviationsFollowThePosixLocaleAndBufferRules) {
    const char* const cases[][3] = {
        {"en_US.UTF-8", "ENU", "USA"}, {"fr_FR@euro", "FRA", "FRA"}, {"es_ES", "ESN", "ESP"},
        {"nb_NO", "NOR", "NOR"},       {"pt_BR", "PTB", "BRA"},      {"ja_JP.eucJP", "JPN", "JPN"},
        {"zh_TW.Big5", "CHT", "TWN"},  {"en_GB", "ENG", "GBR"},      {"fr_CA", "FRC", "CAN"},
        {"de", "DEU", "DEU"},          {"de_BE", "DEU", "BEL"},      {"C", "ENU", "USA"},
        {"POSIX", "ENU", "USA"},       {"xx_YY", "ENU", "USA"},      {"", "ENU", "USA"},
    };
    for (const auto& k : cases) {
        ScopedEnv all("LC_ALL", std::nullopt), messages("LC_MESSAGES", std::nullopt), lang("LANG", k[0]);
        EXPECT_EQ(info(LOCALE_SABBREVLANGNAME), k[1]) << k[0];
        EXPECT_EQ(info(LOCALE_SABBREVCTRYNAME, LOCALE_SYSTEM_DEFAULT), k[2]) << k[0];
    }
    // LC_ALL, then LC_MESSAGES, then LANG; empty counts as unset.
    ScopedEnv lang("LANG", "de_DE.UTF-8"), messages("LC_MESSAGES", "fr_FR"), all("LC_ALL", "");
    EXPECT_EQ(info(LOCALE_SABBREVLANGNAME), "FRA");
    ScopedEnv all_set("LC_ALL", "fr_CA.UTF-8");  // "FRC" below
    char buf[8] = "#######";
    auto get = [](LPSTR to, int n) { return GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SABBREVLANGNAME, to, n); };
    EXPECT_EQ(get(nullptr, 0), 4);
    EXPECT_EQ(failure(get(buf, 3) == 0), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(get(buf, 4), 4);
    EXPECT_STREQ(buf, "FRC");
    EXPECT_EQ(failure(get(buf, -1) == 0), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(failure(get(nullptr, 4) == 0), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(info(0x1234), error(ERROR_INVALID_FLAGS));
    EXPECT_EQ(info(LOCALE_SABBREVLANGNAME, 0x9999), error(ERROR_INVALID_PARAMETER));

    EXPECT_EQ(info(LOCALE_ILANGUAGE) + info(LOCALE_SISO639LANGNAME) + info(LOCALE_SISO3166CTRYNAME), "0c0cfrCA");
    EXPECT_EQ(info(LOCALE_SABBREVLANGNAME, 0x0407) + info(LOCALE_SABBREVCTRYNAME, 0x0816), "DEUPRT");
}
