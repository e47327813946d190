// The library's entry as the loader runs it: load, threads, unload.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ZKUtil.h"
#include "child.h"
#include "test_env.h"

namespace {

void set_string(const std::string& path, const char* name, const std::string& value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key), 0);
    ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             DWORD(value.size() + 1)),
              0);
    RegCloseKey(key);
}

DWORD WINAPI quiet_thread(LPVOID) { return 0; }

// Loads the library, starts one thread through CreateThread and one plain
// thread that calls into it, and unloads it again.
ZKX_CHILD(load_library) {
    void* lib = dlopen(ZKX_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
    if (!lib) return 1;
    HANDLE t = CreateThread(nullptr, 0, quiet_thread, nullptr, 0, nullptr);
    if (!t || WaitForSingleObject(t, 10000) != WAIT_OBJECT_0) return 2;
    CloseHandle(t);
    using Compare = DWORD (*)(LPCSTR, LPCSTR, LONG*);
    auto compare = reinterpret_cast<Compare>(dlsym(lib, "ZKCompareVersion"));
    if (!compare) return 3;
    std::thread([compare] {
        LONG order;
        compare("1", "2", &order);
    }).join();
    return dlclose(lib) == 0 ? 0 : 4;
}

std::vector<std::string> notes_in(const std::string& file) {
    std::ifstream in(file);
    std::vector<std::string> notes;
    const std::string marker = ", ZKMisc  , COM, ";
    for (std::string line; std::getline(in, line);) {
        size_t at = line.find(marker);
        if (at == std::string::npos || line.back() != '\r') continue;
        notes.push_back(line.substr(at + marker.size(), line.size() - 1 - at - marker.size()));
    }
    return notes;
}

TEST(LibraryEntry, LogRecordsLoadThreadsAndUnloadInOrderOnlyWhenConfigured) {
    std::string log = zkx::test::temp_dir() + "/zkmisc.log";
    ASSERT_EQ(zkx::test::wait_child(zkx::test::spawn_child("load_library")), 0);
    EXPECT_FALSE(std::ifstream(log).good()) << "nothing is written without configuration";
    char key[261];
    ZKMiscMakeRegPath("ZKMisc", "Message", sizeof key, key);
    set_string(std::string(key) + "\\LOG", "OutputTo", log);
    set_string(std::string(key) + "\\LOG", "OutputLevel", "COM");
    ASSERT_EQ(zkx::test::wait_child(zkx::test::spawn_child("load_library")), 0);
    EXPECT_EQ(notes_in(log), (std::vector<std::string>{"PROCESS_ATTACH", "THREAD_ATTACH",
                                                       "THREAD_DETACH", "THREAD_ATTACH",
                                                       "THREAD_DETACH", "PROCESS_DETACH"}));
}

}  // namespace
