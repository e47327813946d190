#include <gtest/gtest.h>

#include <string>

#include "fs_test_helpers.h"
#include "system/path_map.h"

using namespace zkx::win32;
using namespace zkx::test;

namespace {

// The host path, or "error N".
std::string host_of(const std::string& path, size_t max_chars = kMaxPathChars) {
    std::string host;
    DWORD e = path_to_host(path.c_str(), &host, max_chars);
    return e ? "error " + std::to_string(e) : host;
}

const std::string kNotFound = "error 3", kBadName = "error 123", kTooLong = "error 206";

class PathMap : public ::testing::Test {
protected:
    std::string c_ = make_dir("c"), d_ = make_dir("d");
    ScopedEnv drive_c_{"ZKX_DRIVE_C", c_};
    ScopedEnv drive_d_{"ZKX_DRIVE_D", d_ + "/"};
};

}  // namespace

TEST_F(PathMap, DriveLettersTheirSettingsAndSpellingRules) {
    EXPECT_EQ(host_of("/tmp//a/./b/../c\\d"), "/tmp/a/c/d");
    EXPECT_EQ(host_of("/tmp/name."), "/tmp/name.");  // no Win32 trimming for POSIX paths
    EXPECT_EQ(host_of("C:\\dir.\\file. ."), c_ + "/dir/file");
    EXPECT_EQ(host_of("C:\\a...\\keep. \\"), c_ + "/a.../keep. ");
    for (const char* bad : {"C:\\a?b", "C:\\a*b", "C:\\a:b", "a|b", "C:\\a<b", "C:\\a\x01"})
        EXPECT_EQ(host_of(bad), kBadName) << bad;
    EXPECT_EQ(host_of(""), kNotFound);
    EXPECT_EQ(host_of("\\\\server\\share\\x"), kNotFound);
    std::string host;
    EXPECT_EQ(path_to_host(nullptr, &host), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(host_of("C:\\a\\b.txt"), c_ + "/a/b.txt");
    EXPECT_EQ(host_of("c:/a\\b//c\\"), c_ + "/a/b/c");
    EXPECT_EQ(host_of("C:\\"), c_);
    EXPECT_EQ(host_of("d:\\x"), d_ + "/x");
    EXPECT_EQ(host_of("Z:\\etc\\hosts"), "/etc/hosts");
    EXPECT_EQ(host_of("C:\\..\\..\\x\\.\\y\\..\\z"), c_ + "/x/z");  // never above the drive
    EXPECT_EQ(host_of("Q:\\x"), kNotFound);
    ScopedEnv q("ZKX_DRIVE_Q", "relative/dir"), z("ZKX_DRIVE_Z", "/srv");
    EXPECT_EQ(host_of("Q:\\x"), kNotFound);
    EXPECT_EQ(host_of("Z:\\etc"), "/etc");  // Z: is always the root
    ScopedEnv c_unset("ZKX_DRIVE_C", std::nullopt);
    EXPECT_EQ(host_of("C:\\WINDOWS\\x"), "/var/lib/zkx/drive_c/WINDOWS/x");
    ScopedEnv c_empty("ZKX_DRIVE_C", "");
    EXPECT_EQ(host_of("C:\\x"), kNotFound);
}

TEST_F(PathMap, HostPathsShowOnTheLongestContainingDrive) {
    ScopedEnv e("ZKX_DRIVE_E", c_ + "/inner");
    EXPECT_EQ(path_to_windows(c_ + "/a/b"), "C:\\a\\b");
    EXPECT_EQ(path_to_windows(c_), "C:\\");
    EXPECT_EQ(path_to_windows(c_ + "/inner/f"), "E:\\f");
    EXPECT_EQ(path_to_windows(c_ + "/innerx"), "C:\\innerx");
    EXPECT_EQ(path_to_windows(c_ + "x/f"), on_drive_z(c_ + "x/f"));  // a shared prefix is not enough
    EXPECT_EQ(path_to_windows("/"), "Z:\\");
    char buf[8];
    EXPECT_EQ(zkx_path_to_windows((c_ + "/a/../b").c_str(), buf, 4), 5u);  // with the terminator
}

TEST_F(PathMap, RelativePathsFollowTheCurrentDirectoryAndLengthsAreLimited) {
    std::string longest = "C:\\" + std::string(MAX_PATH - 4, 'x');  // 259 characters
    EXPECT_EQ(host_of(longest), c_ + "/" + longest.substr(3));
    EXPECT_EQ(host_of(longest + "y"), kTooLong);
    EXPECT_EQ(host_of("/" + std::string(300, 'p')), kTooLong);
    EXPECT_EQ(host_of(longest.substr(0, 247), kMaxDirectoryChars), c_ + "/" + longest.substr(3, 244));
    EXPECT_EQ(host_of(longest.substr(0, 248), kMaxDirectoryChars), kTooLong);

    ScopedCwd deep(make_dir("c/" + std::string(200, 'd')));  // C:\ddd...: 203 characters
    EXPECT_NE(host_of(std::string(55, 'f')), kTooLong);
    EXPECT_EQ(host_of(std::string(56, 'f')), kTooLong);
    ScopedCwd cwd(make_dir("c/sub"));
    EXPECT_EQ(host_of(".\\a\\..\\file"), c_ + "/sub/file");
    EXPECT_EQ(host_of("..\\..\\..\\x"), c_ + "/x");
    EXPECT_EQ(host_of("\\top.txt"), c_ + "/top.txt");
    EXPECT_EQ(host_of("C:rel"), c_ + "/sub/rel");
    EXPECT_EQ(host_of("D:rel"), d_ + "/rel");
    ScopedCwd elsewhere(temp_dir());
    EXPECT_EQ(host_of("\\etc"), "/etc");
    EXPECT_EQ(host_of("x/y"), temp_dir() + "/x/y");
}

TEST_F(PathMap, MissingNamesAreFoundIgnoringCase) {
    make_dir("c/Data");
    write_text(c_ + "/Data/Log.TXT", "x");
    EXPECT_EQ(host_of("C:\\DATA\\log.txt"), c_ + "/Data/Log.TXT");
    EXPECT_EQ(host_of("c:/data/New.txt"), c_ + "/Data/New.txt");  // to be created: as spelled
    EXPECT_EQ(host_of("C:\\nothing\\DATA"), c_ + "/nothing/DATA");
    EXPECT_EQ(host_of(c_ + "/data"), c_ + "/data");  // POSIX paths are not folded
    for (const char* name : {"ab", "AB", "Ab"}) write_text(c_ + "/" + name, "");
    EXPECT_EQ(host_of("C:\\ab"), c_ + "/ab");  // an exact name wins,
    EXPECT_EQ(host_of("C:\\aB"), c_ + "/AB");  // else the smallest in byte order
}
