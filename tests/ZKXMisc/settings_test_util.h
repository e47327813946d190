// Tests of the installation settings reach the settings key behind the
// library's back with these.
#ifndef ZKX_TESTS_SETTINGS_TEST_UTIL_H
#define ZKX_TESTS_SETTINGS_TEST_UTIL_H

#include <gtest/gtest.h>

#include <string>

#include "ZKUtilPriv.h"

namespace zkx::test {

inline std::string settings_path() {
    char path[ZKMISC_DIR_SIZE];
    ZKMiscMakeRegPath(nullptr, nullptr, sizeof path, path);
    return path;
}

// Stores a value of any type, creating the key.
inline void put_setting(const char* name, DWORD type, const void* data, DWORD bytes) {
    HKEY key = nullptr;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, settings_path().c_str(), &key) != 0) return;
    RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), bytes);
    RegCloseKey(key);
}
inline void put_text(const char* name, const std::string& text) {
    put_setting(name, REG_SZ, text.c_str(), DWORD(text.size() + 1));
}
inline void put_number(const char* name, DWORD value) {
    put_setting(name, REG_DWORD, &value, sizeof value);
}

// A value's type and bytes, or "absent".
inline std::string stored(const char* name) {
    HKEY key = nullptr;
    char data[1024];
    DWORD type = 0, size = sizeof data;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, settings_path().c_str(), 0, KEY_READ, &key) != 0)
        return "absent";
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(data), &size);
    RegCloseKey(key);
    return rc ? "absent" : std::to_string(type) + ":" + std::string(data, size);
}

// A freshly loaded library on a machine without the settings key.
inline void fresh_settings() {
    zkutil_reset_dir_caches();
    zkutil_reset_code_caches();
    zkutil_reset_environment_cache();
    for (const char* name : {"ZKDir", "ZKDataDir", "ZKDllDir", "ZKSystemType", "ZKLangCode",
                             "ZKCountryCode", "ZKOemType", "ZKProductName", "Other"})
        zkutil_delete_setting(name);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, settings_path().c_str());
}

class FreshSettings : public ::testing::Test {
protected:
    void SetUp() override { fresh_settings(); }
};

}  // namespace zkx::test

#endif
