// The shared library as it is built: its entry runs as the loader calls it.
#ifndef _WIN32
#include <dlfcn.h>
#endif

#include "ZKUtil.h"
#include "misc_test_util.h"
#include "test_util.h"

namespace {

// The loader's calls, on Windows its own.
#ifdef _WIN32
void* load_library(const char* file) { return reinterpret_cast<void*>(LoadLibraryA(file)); }
void* library_symbol(void* lib, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(lib), name));
}
bool unload_library(void* lib) { return FreeLibrary(static_cast<HMODULE>(lib)); }
#else
void* load_library(const char* file) { return dlopen(file, RTLD_NOW | RTLD_LOCAL); }
void* library_symbol(void* lib, const char* name) { return dlsym(lib, name); }
bool unload_library(void* lib) { return dlclose(lib) == 0; }
#endif

DWORD WINAPI quiet_thread(LPVOID) { return 0; }

// Loads the library, starts one thread through CreateThread and one plain
// thread that calls into it, and unloads it again.
ZKX_CHILD(load_library) {
    void* lib = load_library(ZKX_LIBRARY_FILE);
    if (!lib) return 1;
    HANDLE t = CreateThread(nullptr, 0, quiet_thread, nullptr, 0, nullptr);
    if (!t || WaitForSingleObject(t, 10000) != WAIT_OBJECT_0) return 2;
    CloseHandle(t);
    // A plain thread gets its notice at its first call, even one refused
    // at once.
    auto localize = reinterpret_cast<DWORD(ZKAPI*)(LPVOID, DWORD, LPSTR, LPDWORD)>(
        library_symbol(lib, "ZKMiscGetLocalizeCode"));
    if (!localize) return 3;
    std::thread([localize] { localize(nullptr, 0, nullptr, nullptr); }).join();
    return unload_library(lib) ? 0 : 4;
}

// What the library noted in its log file, its records ending in CR LF.
std::vector<std::string> notes_in(const std::string& file) {
    std::vector<std::string> notes;
    const std::string marker = ", ZKMisc  , COM, ", text = zkx::test::read_file(file);
    for (size_t at = 0; (at = text.find(marker, at)) != std::string::npos;) {
        at += marker.size();
        notes.push_back(text.substr(at, text.find("\r\n", at) - at));
    }
    return notes;
}

TEST(LibraryEntry, LogRecordsLoadThreadsAndUnloadInOrderOnlyWhenConfigured) {
    const std::string log = zkx::test::temp_dir() + "/zkmisc.log";
    ASSERT_EQ(zkx::test::wait_child(zkx::test::spawn_child("load_library")), 0);
    EXPECT_FALSE(std::ifstream(log).good()) << "nothing is written without configuration";
    char key[261];
    ZKMiscMakeRegPath("ZKMisc", "Message\\LOG", sizeof key, key);
    ASSERT_EQ(zkx::test::put_reg_text(HKEY_LOCAL_MACHINE, key, "OutputTo", log), 0);
    ASSERT_EQ(zkx::test::put_reg_text(HKEY_LOCAL_MACHINE, key, "OutputLevel", "COM"), 0);
    ASSERT_EQ(zkx::test::wait_child(zkx::test::spawn_child("load_library")), 0);
    EXPECT_EQ(notes_in(log), (std::vector<std::string>{"PROCESS_ATTACH", "THREAD_ATTACH", "THREAD_DETACH",
                                                       "THREAD_ATTACH", "THREAD_DETACH", "PROCESS_DETACH"}));
}

}  // namespace
