// Small helpers for the file, path, module and locale tests.
#ifndef ZKX_TESTS_FS_TEST_HELPERS_H
#define ZKX_TESTS_FS_TEST_HELPERS_H

#include <stdlib.h>

#include <filesystem>
#include <optional>

#include "test_util.h"
#include "zkxwin32.h"

namespace zkx::test {

// Sets (or, with nullopt, removes) an environment variable for one scope.
struct ScopedEnv {
    std::string name_;
    std::optional<std::string> old_;
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = getenv(name)) old_ = old;
        set(name, value);
    }
    ~ScopedEnv() { set(name_.c_str(), old_); }
    static void set(const char* name, const std::optional<std::string>& value) {
#ifdef _WIN32
        _putenv_s(name, value ? value->c_str() : "");  // "" removes it
#else
        value ? setenv(name, value->c_str(), 1) : unsetenv(name);
#endif
    }
};

struct ScopedCwd {
    std::filesystem::path old = std::filesystem::current_path();
    explicit ScopedCwd(const std::string& dir) { std::filesystem::current_path(dir); }
    ~ScopedCwd() { std::filesystem::current_path(old); }
};

inline std::string make_dir(const std::string& name) {
    std::filesystem::create_directories(temp_dir() + "/" + name);
    return temp_dir() + "/" + name;
}

inline HANDLE open_path(const std::string& path, DWORD access, DWORD share, DWORD disposition = OPEN_ALWAYS) {
    return CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// 0 when the file opens (the handle is closed again), else the last error.
inline DWORD open_result(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
    HANDLE h = open_path(path, access, share, disposition);
    return h == INVALID_HANDLE_VALUE ? GetLastError() : (CloseHandle(h), 0);
}

// The last error after a call that failed; ~0 after one that succeeded.
inline DWORD failure(bool failed) { return failed ? GetLastError() : ~DWORD(0); }

}  // namespace zkx::test

#endif
