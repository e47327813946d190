#include "settings_test_util.h"

namespace zkx::test {
namespace {

std::string settings_path() {
    char path[ZKMISC_DIR_SIZE];
    ZKMiscMakeRegPath(nullptr, nullptr, sizeof path, path);
    return path;
}

}  // namespace

LONG put_setting(const char* name, DWORD type, const void* data, DWORD bytes) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyA(HKEY_LOCAL_MACHINE, settings_path().c_str(), &key);
    if (rc != 0) return rc;
    rc = RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), bytes);
    RegCloseKey(key);
    return rc;
}

LONG put_text(const char* name, const std::string& text) {
    return put_setting(name, REG_SZ, text.c_str(), DWORD(text.size() + 1));
}

LONG put_number(const char* name, DWORD value) {
    return put_setting(name, REG_DWORD, &value, sizeof value);
}

LONG read_setting(const char* name, DWORD* type, std::string* bytes) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, settings_path().c_str(), 0, KEY_READ, &key);
    if (rc != 0) return rc;
    char data[1024];
    DWORD size = sizeof data;
    rc = RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<LPBYTE>(data), &size);
    RegCloseKey(key);
    if (rc == 0) bytes->assign(data, size);
    return rc;
}

void fresh_settings() {
    zkutil_reset_dir_caches();
    zkutil_reset_code_caches();
    zkutil_reset_environment_cache();
    const char* const names[] = {"ZKDir",      "ZKDataDir",     "ZKDllDir",  "ZKSystemType",
                                 "ZKLangCode", "ZKCountryCode", "ZKOemType", "ZKProductName"};
    for (const char* name : names) zkutil_delete_setting(name);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, settings_path().c_str());
}

}  // namespace zkx::test
