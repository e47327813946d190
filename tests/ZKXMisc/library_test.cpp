// The shared library's entry as the loader calls it, and the library installed:
// a copy in a folder of its own finds its directories and version file beside it.
#ifndef _WIN32
#include <dlfcn.h>

#include <filesystem>
#endif

#include "ZKUtil.h"
#include "ZKVer.h"
#include "misc_test_util.h"

using namespace zkx::test;

namespace {

DWORD WINAPI quiet_thread(LPVOID) { return 0; }
using CodeGetter = DWORD(ZKAPI*)(LPVOID, DWORD, LPSTR, LPDWORD);

ZKX_CHILD(load_library) {
#ifdef _WIN32  // the loader's calls, on Windows its own
    HMODULE lib = LoadLibraryA(ZKX_LIBRARY_FILE);
    auto localize = lib ? reinterpret_cast<CodeGetter>(GetProcAddress(lib, "ZKMiscGetLocalizeCode")) : nullptr;
#else
    void* lib = dlopen(ZKX_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
    auto localize = lib ? reinterpret_cast<CodeGetter>(dlsym(lib, "ZKMiscGetLocalizeCode")) : nullptr;
#endif
    if (!localize) return 1;
    HANDLE t = CreateThread(nullptr, 0, quiet_thread, nullptr, 0, nullptr);
    if (!t || WaitForSingleObject(t, 10000) != WAIT_OBJECT_0) return 2;
    CloseHandle(t);
    // A plain thread gets its notice at its first call, even one refused at once.
    std::thread([localize] { localize(nullptr, 0, nullptr, nullptr); }).join();
#ifdef _WIN32
    return FreeLibrary(lib) ? 0 : 3;
#else
    return dlclose(lib) == 0 ? 0 : 3;
#endif
}

// What the library noted in its log file, its records ending in CR LF.
std::vector<std::string> notes_in(const std::string& file) {
    std::vector<std::string> notes;
    const std::string marker = ", ZKMisc  , COM, ", text = read_file(file);
    for (size_t at = 0; (at = text.find(marker, at)) != std::string::npos;) {
        at += marker.size();
        notes.push_back(text.substr(at, text.find("\r\n", at) - at));
    }
    return notes;
}

TEST(LibraryEntry, LogRecordsLoadThreadsAndUnloadInOrderOnlyWhenConfigured) {
    const std::string log = temp_dir() + "/zkmisc.log";
    ASSERT_EQ(wait_child(spawn_child("load_library")), 0);
    EXPECT_FALSE(std::ifstream(log).good()) << "nothing is written without configuration";
    char key[261];
    ZKMiscMakeRegPath("ZKMisc", "Message\\LOG", sizeof key, key);
    ASSERT_EQ(put_reg_text(HKEY_LOCAL_MACHINE, key, "OutputTo", log), 0);
    ASSERT_EQ(put_reg_text(HKEY_LOCAL_MACHINE, key, "OutputLevel", "COM"), 0);
    ASSERT_EQ(wait_child(spawn_child("load_library")), 0);
    EXPECT_EQ(notes_in(log), (std::vector<std::string>{"PROCESS_ATTACH", "THREAD_ATTACH", "THREAD_DETACH",
                                                       "THREAD_ATTACH", "THREAD_DETACH", "PROCESS_DETACH"}));
}

#ifndef _WIN32
namespace fs = std::filesystem;

// A failed check ends the child with its line as the exit code.
#define CHILD_CHECK(cond) \
    if (!(cond)) return __LINE__

std::string dirs_of(void* library) {
    std::string all;
    for (const char* getter : {"ZKMiscGetZKDir", "ZKMiscGetDataDir", "ZKMiscGetDllDir"}) {
        auto fn = reinterpret_cast<DWORD(ZKAPI*)(DWORD, DWORD, LPSTR, LPDWORD)>(dlsym(library, getter));
        char buf[ZKMISC_DATADIR_SIZE];
        DWORD length = 0;
        all += (all.empty() ? "" : "|") + (fn && fn(0, sizeof buf, buf, &length) == 0 ? std::string(buf, length) : "?");
    }
    return all;
}

// args[0]: the folder drive C: maps to here; args[1]: the folder below it to install into.
ZKX_CHILD(installed_library) {
    const fs::path bin = fs::path(args[0]) / args[1];
    fs::create_directories(bin);
    fs::copy_file(ZKX_LIBRARY_FILE, bin / "libZKXMisc.so");
    void* lib = dlopen((bin / "libZKXMisc.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    CHILD_CHECK(lib);
    // A library whose own path does not fit 260 characters takes the Windows directory's.
    char windir[ZKMISC_DIR_SIZE];
    CHILD_CHECK(GetWindowsDirectoryA(windir, sizeof windir) > 0);
    const bool deep = args[1].size() > 260;
    const std::string home = deep ? std::string(windir) + "\\ZK" : "C:\\Prod\\bin";
    CHILD_CHECK(dirs_of(lib) == home + "|" + home + "\\ZKWData|" + home);
    if (deep) return dlclose(lib);

    auto save = reinterpret_cast<PZKVER_STAMP(ZKAPI*)(PZKVER_STAMP)>(dlsym(lib, "ZKVerSave"));
    auto text = reinterpret_cast<LPSTR(ZKAPI*)(LPSTR, INT)>(dlsym(lib, "ZKVer"));
    ZKVER_STAMP stamp = {1, 2, 3, 4, 'a', {7, 8, 9}};
    CHILD_CHECK(save(&stamp) == &stamp);
    char buf[32];
    CHILD_CHECK(text(buf, 13) == buf && std::strcmp(buf, "1.2.3.4a") == 0);
    fs::resize_file(bin / "zkx.ver", 7);  // a short file is no stamp, and leaves the text zeroed
    std::memset(buf, '#', sizeof buf);
    CHILD_CHECK(text(buf, 16) == nullptr && std::string(buf, 17) == std::string(16, '\0') + "#");
    return dlclose(lib);
}

TEST(Installed, DirectoriesAndVersionFileLieBesideTheLibraryUnlessItsPathIsTooLong) {
    const std::string drive = temp_dir() + "/drive_c";
    std::string deep;
    for (char c = 'a'; c < 'f'; ++c) deep += std::string(60, c) + "/";
    for (const std::string& below : {std::string("Prod/bin"), deep})
        EXPECT_EQ(run_child_with("ZKX_DRIVE_C", drive, "installed_library", {drive, below}), 0) << below;
}
#endif

}  // namespace
