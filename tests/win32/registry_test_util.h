// Small helpers shared by the registry tests.
#ifndef ZKX_TESTS_REGISTRY_TEST_UTIL_H
#define ZKX_TESTS_REGISTRY_TEST_UTIL_H

#include <stdlib.h>

#include <string>

#include "zkxwin32.h"

namespace zkx::test {

inline HKEY create_key(HKEY parent, const char* path) {
    HKEY h = nullptr;
    return RegCreateKeyA(parent, path, &h) == ERROR_SUCCESS ? h : nullptr;
}

inline LONG set_bytes(HKEY h, const char* name, DWORD type, const std::string& data) {
    return RegSetValueExA(h, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                          DWORD(data.size()));
}

inline LONG set_string(HKEY h, const char* name, const std::string& text) {
    return set_bytes(h, name, REG_SZ, std::string(text.c_str(), text.size() + 1));
}

// The value's bytes (with its terminator, if stored with one); empty with
// *rc set when the query fails.
inline std::string get_bytes(HKEY h, const char* name, LONG* rc = nullptr, DWORD* type = nullptr) {
    DWORD size = 0, t = 0;
    std::string out;
    LONG r = RegQueryValueExA(h, name, nullptr, &t, nullptr, &size);
    // Another writer may change the size between the two calls.
    while (r == ERROR_SUCCESS && size > 0) {
        out.resize(size);
        r = RegQueryValueExA(h, name, nullptr, &t, reinterpret_cast<BYTE*>(&out[0]), &size);
        if (r == ERROR_MORE_DATA) {
            r = ERROR_SUCCESS;
            continue;
        }
        out.resize(size);
        break;
    }
    if (rc) *rc = r;
    if (type) *type = t;
    return r == ERROR_SUCCESS ? out : std::string();
}

// The result of querying a value.
inline LONG query_rc(HKEY h, const char* name) {
    LONG rc = -1;
    get_bytes(h, name, &rc);
    return rc;
}

// Where the store keeps HKEY_LOCAL_MACHINE in this test process.
inline std::string machine_root_dir() {
    return std::string(getenv("ZKX_REGISTRY")) + "/HKEY_LOCAL_MACHINE";
}

}  // namespace zkx::test

#endif
