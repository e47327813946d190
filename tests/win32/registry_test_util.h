// Small helpers shared by the registry tests.
#ifndef ZKX_TESTS_REGISTRY_TEST_UTIL_H
#define ZKX_TESTS_REGISTRY_TEST_UTIL_H

#include "test_util.h"
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

// The value's bytes (with its terminator, if stored with one); empty with *rc set when the query fails.
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

// What a failed enumeration or query shows in a list of names.
inline std::string error_entry(LONG rc) { return "error " + std::to_string(rc); }
// The name of the subkey (or value) at `index`, or its error_entry.
inline std::string name_at(HKEY h, DWORD index, bool value = false) {
    char name[256];
    DWORD len = sizeof name;
    LONG r = value ? RegEnumValueA(h, index, name, &len, nullptr, nullptr, nullptr, nullptr)
                   : RegEnumKeyExA(h, index, name, &len, nullptr, nullptr, nullptr, nullptr);
    return r == ERROR_SUCCESS ? std::string(name, len) : error_entry(r);
}

// The subkeys' (or values') names in index order, up to the first error.
inline std::vector<std::string> names_of(HKEY h, bool values = false) {
    std::vector<std::string> names;
    while (names.empty() || names.back().rfind("error ", 0) != 0)
        names.push_back(name_at(h, DWORD(names.size()), values));
    if (names.back() == error_entry(ERROR_NO_MORE_ITEMS)) names.pop_back();
    return names;
}

}  // namespace zkx::test

#endif
