// The library as it is installed: a copy of libZKXMisc.so in a folder of its
// own, loaded with dlopen and reached through its exports, finds its
// directories and its version file beside itself.
#include <dlfcn.h>

#include <filesystem>

#include "ZKUtil.h"
#include "ZKVer.h"
#include "misc_test_util.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace {

// A failed check ends the child with its line as the exit code.
#define CHILD_CHECK(cond) \
    if (!(cond)) return __LINE__

std::string dir_of(void* library, const char* getter) {
    auto fn = reinterpret_cast<DWORD(ZKAPI*)(DWORD, DWORD, LPSTR, LPDWORD)>(dlsym(library, getter));
    char buf[ZKMISC_DATADIR_SIZE];
    DWORD length = 0;
    if (!fn || fn(0, sizeof buf, buf, &length) != 0) return "(failed)";
    return std::string(buf, length);
}

// args[0]: the folder that drive C: maps to in this process; args[1]: the
// folder below it to install into.
ZKX_CHILD(installed_library) {
    const fs::path bin = fs::path(args[0]) / args[1];
    fs::create_directories(bin);
    fs::copy_file(ZKX_LIBRARY_FILE, bin / "libZKXMisc.so");
    void* lib = dlopen((bin / "libZKXMisc.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    CHILD_CHECK(lib);
    // A library whose own path does not fit 260 characters takes the
    // Windows directory's default.
    char windir[ZKMISC_DIR_SIZE];
    CHILD_CHECK(GetWindowsDirectoryA(windir, sizeof windir) > 0);
    const bool deep = args[1].size() > 260;
    const std::string home = deep ? std::string(windir) + "\\ZK" : "C:\\Prod\\bin";
    CHILD_CHECK(dir_of(lib, "ZKMiscGetZKDir") == home);
    CHILD_CHECK(dir_of(lib, "ZKMiscGetDataDir") == home + "\\ZKWData");
    CHILD_CHECK(dir_of(lib, "ZKMiscGetDllDir") == home);
    if (deep) return dlclose(lib);

    auto save = reinterpret_cast<PZKVER_STAMP(ZKAPI*)(PZKVER_STAMP)>(dlsym(lib, "ZKVerSave"));
    auto text = reinterpret_cast<LPSTR(ZKAPI*)(LPSTR, INT)>(dlsym(lib, "ZKVer"));
    CHILD_CHECK(save && text);
    ZKVER_STAMP stamp = {1, 2, 3, 4, 'a', {7, 8, 9}};
    CHILD_CHECK(save(&stamp) == &stamp);
    const std::string file = args[0] + "/Prod/bin/zkx.ver";
    CHILD_CHECK(zkx::test::read_file(file) == std::string("\x01\x02\x03\x04" "a\x07\x08\x09", 8));

    char buf[32];
    CHILD_CHECK(text(buf, 13) == buf && std::strcmp(buf, "1.2.3.4a") == 0);
    fs::resize_file(file, 7);  // a short file is no stamp, and leaves the text zeroed
    std::memset(buf, '#', sizeof buf);
    CHILD_CHECK(text(buf, 16) == nullptr && std::string(buf, 17) == std::string(16, '\0') + "#");
    return dlclose(lib);
}

TEST(Installed, DirectoriesAndVersionFileLieBesideTheLibraryUnlessItsPathIsTooLong) {
    const std::string drive = zkx::test::temp_dir() + "/drive_c";
    std::string deep;
    for (char c = 'a'; c < 'f'; ++c) deep += std::string(60, c) + "/";
    for (const std::string& below : {std::string("Prod/bin"), deep})
        EXPECT_EQ(zkx::test::run_child_with("ZKX_DRIVE_C", drive, "installed_library", {drive, below}), 0) << below;
}

}  // namespace
