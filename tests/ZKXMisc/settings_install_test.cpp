// The library as it is installed: a copy of libZKXMisc.so in a folder of its
// own, loaded with dlopen and reached through its exports, finds its
// directories and its version file beside itself.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "ZKUtil.h"
#include "ZKVer.h"
#include "misc_test_util.h"
#include "test_env.h"

namespace fs = std::filesystem;

namespace {

#define CHILD_CHECK(cond)                                                        \
    do {                                                                         \
        if (!(cond)) {                                                           \
            std::fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
            return __LINE__ % 100 + 1;                                           \
        }                                                                        \
    } while (0)

using GetDir = DWORD(ZKAPI*)(DWORD, DWORD, LPSTR, LPDWORD);
using VerIo = PZKVER_STAMP(ZKAPI*)(PZKVER_STAMP);
using VerText = LPSTR(ZKAPI*)(LPSTR, INT);

std::string dir_of(void* library, const char* getter) {
    auto fn = reinterpret_cast<GetDir>(dlsym(library, getter));
    char buf[ZKMISC_DATADIR_SIZE];
    DWORD length = 0;
    if (!fn || fn(0, sizeof buf, buf, &length) != 0) return "(failed)";
    return std::string(buf, length);
}

// args[0]: the folder that drive C: maps to in this process.
ZKX_CHILD(installed_library) {
    const fs::path bin = fs::path(args[0]) / "Prod" / "bin";
    fs::create_directories(bin);
    fs::copy_file(ZKX_LIBRARY_FILE, bin / "libZKXMisc.so");
    void* lib = dlopen((bin / "libZKXMisc.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) std::fprintf(stderr, "dlopen: %s\n", dlerror());
    CHILD_CHECK(lib);

    CHILD_CHECK(dir_of(lib, "ZKMiscGetZKDir") == "C:\\Prod\\bin");
    CHILD_CHECK(dir_of(lib, "ZKMiscGetDataDir") == "C:\\Prod\\bin\\ZKWData");
    CHILD_CHECK(dir_of(lib, "ZKMiscGetDllDir") == "C:\\Prod\\bin");

    auto save = reinterpret_cast<VerIo>(dlsym(lib, "ZKVerSave"));
    auto load = reinterpret_cast<VerIo>(dlsym(lib, "ZKVerLoad"));
    auto text = reinterpret_cast<VerText>(dlsym(lib, "ZKVer"));
    CHILD_CHECK(save && load && text);
    ZKVER_STAMP stamp = {1, 2, 3, 4, 'a', {7, 8, 9}};
    CHILD_CHECK(save(&stamp) == &stamp);
    const fs::path file = bin / "zkx.ver";
    CHILD_CHECK(zkx::test::file_text(file) == std::string("\x01\x02\x03\x04" "a\x07\x08\x09", 8));
    ZKVER_STAMP loaded = {};
    CHILD_CHECK(load(&loaded) == &loaded && std::memcmp(&loaded, &stamp, 8) == 0);

    char buf[32];
    std::memset(buf, '#', sizeof buf);
    CHILD_CHECK(text(buf, 12) == nullptr && buf[0] == '#');
    CHILD_CHECK(text(buf, 13) == buf && std::strcmp(buf, "1.2.3.4a") == 0 && buf[12] == 0);

    fs::resize_file(file, 7);  // a short file is no stamp, and leaves the text zeroed
    CHILD_CHECK(load(&loaded) == nullptr);
    std::memset(buf, '#', sizeof buf);
    CHILD_CHECK(text(buf, 16) == nullptr && std::string(buf, 17) == std::string(16, '\0') + "#");
    dlclose(lib);
    return 0;
}

// args[0]: as above.  A library whose own path does not fit 260 characters
// takes the Windows directory's default.
ZKX_CHILD(deeply_installed_library) {
    fs::path bin = fs::path(args[0]);
    for (int i = 0; i < 5; ++i) bin /= std::string(60, char('a' + i));
    fs::create_directories(bin);
    fs::copy_file(ZKX_LIBRARY_FILE, bin / "libZKXMisc.so");
    void* lib = dlopen((bin / "libZKXMisc.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) std::fprintf(stderr, "dlopen: %s\n", dlerror());
    CHILD_CHECK(lib);
    char windir[ZKMISC_DIR_SIZE];
    CHILD_CHECK(GetWindowsDirectoryA(windir, sizeof windir) > 0);
    const std::string zk = dir_of(lib, "ZKMiscGetZKDir");
    if (zk != std::string(windir) + "\\ZK") std::fprintf(stderr, "ZK directory: %s\n", zk.c_str());
    CHILD_CHECK(zk == std::string(windir) + "\\ZK");
    CHILD_CHECK(dir_of(lib, "ZKMiscGetDataDir") == zk + "\\ZKWData");
    dlclose(lib);
    return 0;
}

TEST(Installed, DirectoriesAndVersionFileLieBesideTheLibrary) {
    const std::string drive = zkx::test::temp_dir() + "/drive_c";
    EXPECT_EQ(zkx::test::run_child_with("ZKX_DRIVE_C", drive, "installed_library", {drive}), 0);
}

TEST(Installed, ModulePathTooLongFallsBackToTheWindowsDirectory) {
    const std::string drive = zkx::test::temp_dir() + "/drive_c";
    EXPECT_EQ(zkx::test::run_child_with("ZKX_DRIVE_C", drive, "deeply_installed_library", {drive}), 0);
}

}  // namespace
