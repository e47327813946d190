// Small helpers shared by the registry tests.
#ifndef ZKX_TESTS_REGISTRY_TEST_UTIL_H
#define ZKX_TESTS_REGISTRY_TEST_UTIL_H

#include <stdlib.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "zkxwin32.h"

namespace zkx::test {

inline HKEY create_key(HKEY parent, const char* path) {
    HKEY h = nullptr;
    return RegCreateKeyA(parent, path, &h) == ERROR_SUCCESS ? h : nullptr;
}

inline LONG set_bytes(HKEY h, const char* name, DWORD type, const std::string& data) {
    return RegSetValueExA(h, name, 0, type, reinterpret_cast<const BYTE*>(data.data()), DWORD(data.size()));
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
    // Again while another writer grows the value between two calls.
    while (r == ERROR_MORE_DATA || (r == ERROR_SUCCESS && size > out.size())) {
        out.resize(size);
        r = RegQueryValueExA(h, name, nullptr, &t, reinterpret_cast<BYTE*>(&out[0]), &size);
    }
    out.resize(r == ERROR_SUCCESS ? size : 0);
    if (rc) *rc = r;
    if (type) *type = t;
    return out;
}

inline LONG query_rc(HKEY h, const char* name) {
    LONG rc = -1;
    get_bytes(h, name, &rc);
    return rc;
}

// The subkeys' names in index order; one "error <code>" entry when listing fails.
inline std::vector<std::string> subkey_names(HKEY h) {
    std::vector<std::string> names;
    char name[256];
    for (DWORD len = sizeof name;; len = sizeof name) {
        LONG r = RegEnumKeyExA(h, DWORD(names.size()), name, &len, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_NO_MORE_ITEMS) return names;
        if (r != ERROR_SUCCESS) return {"error " + std::to_string(r)};
        names.emplace_back(name, len);
    }
}

// For a child's exit code: 0 when every step held, else the number
// (from 1) of the first that did not.  The steps run in order.
inline int first_failed(std::initializer_list<bool> steps) {
    int n = 0;
    for (bool ok : steps) {
        ++n;
        if (!ok) return n;
    }
    return 0;
}

// Where the store keeps HKEY_LOCAL_MACHINE in this test process.
inline std::string machine_root_dir() { return std::string(getenv("ZKX_REGISTRY")) + "/HKEY_LOCAL_MACHINE"; }

}  // namespace zkx::test

#endif
