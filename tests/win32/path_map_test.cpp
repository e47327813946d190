#include <gtest/gtest.h>

#include <string>

#include "fs_test_helpers.h"
#include "path_map.h"
#include "zkxwin32.h"

using namespace zkx::win32;
using namespace zkx::test;

namespace {

std::string host_of(const char* path, DWORD* err = nullptr) {
    std::string host;
    DWORD e = path_to_host(path, &host);
    if (err) *err = e;
    return e ? "error " + std::to_string(e) : host;
}

DWORD error_of(const char* path) {
    std::string host;
    return path_to_host(path, &host);
}

class PathMap : public ::testing::Test {
protected:
    std::string c_ = make_dir("c");
    std::string d_ = make_dir("d");
    ScopedEnv drive_c_{"ZKX_DRIVE_C", c_};
    ScopedEnv drive_d_{"ZKX_DRIVE_D", d_ + "/"};
};

}  // namespace

TEST_F(PathMap, DriveLettersMapToTheirDirectories) {
    EXPECT_EQ(host_of("C:\\a\\b.txt"), c_ + "/a/b.txt");
    EXPECT_EQ(host_of("c:/a/b.txt"), c_ + "/a/b.txt");
    EXPECT_EQ(host_of("C:\\a/b\\\\c\\"), c_ + "/a/b/c");
    EXPECT_EQ(host_of("C:\\"), c_);
    EXPECT_EQ(host_of("d:\\x"), d_ + "/x");
    EXPECT_EQ(host_of("Z:\\etc\\hosts"), "/etc/hosts");
    EXPECT_EQ(host_of("Z:\\"), "/");
    // ".." never leaves the drive, as on Win32.
    EXPECT_EQ(host_of("C:\\..\\..\\x\\.\\y\\..\\z"), c_ + "/x/z");
}

TEST_F(PathMap, UnmappedDrivesAndBadDriveSettings) {
    EXPECT_EQ(error_of("Q:\\x"), DWORD(ERROR_PATH_NOT_FOUND));
    {
        ScopedEnv q("ZKX_DRIVE_Q", "relative/dir");
        EXPECT_EQ(error_of("Q:\\x"), DWORD(ERROR_PATH_NOT_FOUND));
    }
    {
        ScopedEnv q("ZKX_DRIVE_Q", "/srv/q");
        EXPECT_EQ(host_of("q:\\x"), "/srv/q/x");
    }
    {
        ScopedEnv c("ZKX_DRIVE_C", "");
        EXPECT_EQ(error_of("C:\\x"), DWORD(ERROR_PATH_NOT_FOUND));
    }
    {
        ScopedEnv c("ZKX_DRIVE_C", std::nullopt);
        EXPECT_EQ(host_of("C:\\WINDOWS\\x"), "/var/lib/zkx/drive_c/WINDOWS/x");
    }
    // Z: is the root whatever the environment says.
    ScopedEnv z("ZKX_DRIVE_Z", "/srv");
    EXPECT_EQ(host_of("Z:\\etc"), "/etc");
}

TEST_F(PathMap, HostPathsShowAsTheLongestContainingDrive) {
    ScopedEnv e("ZKX_DRIVE_E", c_ + "/inner");
    EXPECT_EQ(path_to_windows(c_ + "/a/b"), "C:\\a\\b");
    EXPECT_EQ(path_to_windows(c_), "C:\\");
    EXPECT_EQ(path_to_windows(c_ + "/inner/f"), "E:\\f");
    EXPECT_EQ(path_to_windows(c_ + "/innerx"), "C:\\innerx");
    // A sibling that merely shares the prefix is not on the drive.
    EXPECT_EQ(path_to_windows(c_ + "x/f"), on_drive_z(c_ + "x/f"));
    EXPECT_EQ(path_to_windows("/"), "Z:\\");
    EXPECT_EQ(path_to_windows("/etc/hosts"), "Z:\\etc\\hosts");

    char buf[MAX_PATH];
    std::string host = c_ + "/a/../b";
    ASSERT_EQ(zkx_path_to_windows(host.c_str(), buf, sizeof buf), 4u);
    EXPECT_STREQ(buf, "C:\\b");
    EXPECT_EQ(zkx_path_to_windows(host.c_str(), buf, 4), 5u);  // needs the terminator too
}

TEST_F(PathMap, RelativePathsFollowTheCurrentDirectory) {
    make_dir("c/sub");
    ScopedCwd cwd(c_ + "/sub");
    EXPECT_EQ(host_of("file"), c_ + "/sub/file");
    EXPECT_EQ(host_of(".\\a\\..\\file"), c_ + "/sub/file");
    EXPECT_EQ(host_of("..\\other"), c_ + "/other");
    EXPECT_EQ(host_of("..\\..\\..\\x"), c_ + "/x");
    EXPECT_EQ(host_of("\\top.txt"), c_ + "/top.txt");
    EXPECT_EQ(host_of("C:rel"), c_ + "/sub/rel");
    EXPECT_EQ(host_of("D:rel"), d_ + "/rel");
    ScopedCwd elsewhere(temp_dir());
    EXPECT_EQ(host_of("\\etc"), "/etc");
    EXPECT_EQ(host_of("x/y"), temp_dir() + "/x/y");
}

TEST_F(PathMap, PosixPathsAreTakenAsTheyStand) {
    EXPECT_EQ(host_of("/tmp/a/../b"), "/tmp/b");
    EXPECT_EQ(host_of("/tmp//a/./b/"), "/tmp/a/b");
    EXPECT_EQ(host_of("/tmp/x\\y"), "/tmp/x/y");
    EXPECT_EQ(host_of("/tmp/name."), "/tmp/name.");  // no Win32 trimming
    make_dir("c/Data");
    EXPECT_EQ(host_of((c_ + "/data").c_str()), c_ + "/data");  // and no case folding
}

TEST_F(PathMap, WindowsTrimmingAndForbiddenCharacters) {
    EXPECT_EQ(host_of("C:\\dir.\\file. ."), c_ + "/dir/file");
    EXPECT_EQ(host_of("C:\\a...\\b"), c_ + "/a.../b");
    EXPECT_EQ(host_of("C:\\keep. \\"), c_ + "/keep. ");
    for (const char* bad : {"C:\\a?b", "C:\\a*b", "C:\\a:b", "C:\\a|b", "a<b", "C:\\a\"b", "C:\\a\x01"}) {
        EXPECT_EQ(error_of(bad), DWORD(ERROR_INVALID_NAME)) << bad;
    }
    EXPECT_EQ(error_of(""), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(error_of(nullptr), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(error_of("\\\\server\\share\\x"), DWORD(ERROR_PATH_NOT_FOUND));
}

TEST_F(PathMap, PathsOfMaxPathCharactersAreRefused) {
    std::string ok = "C:\\" + std::string(MAX_PATH - 4, 'x');  // 259 characters
    EXPECT_EQ(error_of(ok.c_str()), 0u);
    std::string too_long = ok + "y";
    EXPECT_EQ(error_of(too_long.c_str()), DWORD(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(error_of(("/" + std::string(300, 'p')).c_str()), DWORD(ERROR_FILENAME_EXCED_RANGE));

    // Short text, long full path: the current directory counts.
    std::string deep = make_dir("c/" + std::string(200, 'd'));
    ScopedCwd cwd(deep);
    EXPECT_EQ(error_of(std::string(50, 'f').c_str()), 0u);
    EXPECT_EQ(error_of(std::string(60, 'f').c_str()), DWORD(ERROR_FILENAME_EXCED_RANGE));

    // Directories get 12 characters fewer, as on Win32.
    std::string dir247 = "C:\\" + std::string(244, 'x');
    std::string host;
    EXPECT_EQ(path_to_host(dir247.c_str(), &host, kMaxDirectoryChars), 0u);
    SetLastError(0);
    EXPECT_FALSE(CreateDirectoryA((dir247 + "x").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILENAME_EXCED_RANGE));
}

TEST_F(PathMap, MissingNamesAreFoundIgnoringCase) {
    make_dir("c/Data");
    write_text(c_ + "/Data/Log.TXT", "x");
    EXPECT_EQ(host_of("C:\\DATA\\log.txt"), c_ + "/Data/Log.TXT");
    EXPECT_EQ(host_of("c:/data/New File.txt"), c_ + "/Data/New File.txt");  // to be created: as spelled
    EXPECT_EQ(host_of("C:\\nothing\\DATA"), c_ + "/nothing/DATA");

    // Several candidates: an exact name wins, else the smallest in byte order.
    write_text(c_ + "/ab", "");
    write_text(c_ + "/AB", "");
    write_text(c_ + "/Ab", "");
    EXPECT_EQ(host_of("C:\\ab"), c_ + "/ab");
    EXPECT_EQ(host_of("C:\\aB"), c_ + "/AB");
}
