// Small helpers the library's tests share: registry values, open handles
// and children started with one variable of their own.
#ifndef ZKX_TESTS_MISC_TEST_UTIL_H
#define ZKX_TESTS_MISC_TEST_UTIL_H

#include <stdlib.h>

#include "ZKPlatform.h"
#include "test_util.h"
#ifndef _WIN32
#include "base/handle_table.h"
#endif

namespace zkx::test {

// Runs fn on another thread: its result.
template <class Fn> auto on_other_thread(Fn fn) {
    decltype(fn()) r{};
    std::thread([&] { r = fn(); }).join();
    return r;
}

// Creates the key and stores a string (or another type holding text).
inline LONG put_reg_text(HKEY root, const std::string& path, const char* name, const std::string& value,
                         DWORD type = REG_SZ) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyA(root, path.c_str(), &key);
    if (rc == 0)
        rc = RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()), DWORD(value.size() + 1));
    RegCloseKey(key);
    return rc;
}

// Every handle this process holds, registry keys included.
inline size_t open_handles() {
#ifdef _WIN32
    DWORD n = 0;
    GetProcessHandleCount(GetCurrentProcess(), &n);
    return n;
#else
    size_t n = 0;
    zkx::win32::handle_for_each(
        [](HANDLE, const zkx::win32::HandleEntry&, void* ctx) { ++*static_cast<size_t*>(ctx); }, &n);
    return n;
#endif
}

// Runs a child with `var` set to `value` for it alone: its exit code.
inline int run_child_with(const char* var, const std::string& value, const std::string& name,
                          const std::vector<std::string>& args = {}) {
    const char* outer = getenv(var);
    const std::string saved = outer ? outer : "";
    setenv(var, value.c_str(), 1);
    const pid_t child = spawn_child(name, args);
    outer ? setenv(var, saved.c_str(), 1) : unsetenv(var);
    return wait_child(child);
}

}  // namespace zkx::test

#endif
