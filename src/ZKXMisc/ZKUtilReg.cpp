#include "ZKUtilPriv.h"

namespace {

constexpr DWORD kKeyPathSize = 261;

// The settings key path; built without subkeys into a buffer that always
// holds it, so the builder cannot fail here.
void settings_path(char (&path)[kKeyPathSize]) {
    ZKMiscMakeRegPath(nullptr, nullptr, sizeof path, path);
}

}  // namespace

LONG zkutil_open_settings(REGSAM samDesired, PHKEY phKey) {
    char path[kKeyPathSize];
    settings_path(path);
    *phKey = nullptr;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, samDesired, phKey);
}

LONG zkutil_query_setting(HKEY hKey, LPCSTR pszValue, LPDWORD pdwType, LPVOID pData,
                          LPDWORD pcbData) {
    const DWORD capacity = *pcbData;
    *pdwType = REG_NONE;
    LONG rc = RegQueryValueExA(hKey, pszValue, nullptr, pdwType, static_cast<LPBYTE>(pData),
                               pcbData);
    if (rc != 0 || *pdwType != REG_SZ) return rc;
    // The registry keeps a string's bytes as they were stored: possibly
    // without a terminator, possibly with text behind an embedded one.  The
    // callers take the text up to its first terminator and need one inside
    // their buffer.
    char* text = static_cast<char*>(pData);
    DWORD returned = *pcbData < capacity ? *pcbData : capacity;
    DWORD length = 0;
    while (length < returned && text[length]) ++length;
    if (length == returned) {
        if (returned >= capacity) return ERROR_MORE_DATA;
        text[length] = 0;
    }
    *pcbData = length + 1;
    return 0;
}

void zkutil_delete_setting(LPCSTR pszValue) {
    char path[kKeyPathSize];
    settings_path(path);
    HKEY key = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key) != 0) return;
    RegDeleteValueA(key, pszValue);
    RegCloseKey(key);
}

LONG zkutil_store_setting(LPCSTR pszValue, DWORD dwType, const void* pData, DWORD cbData) {
    char path[kKeyPathSize];
    settings_path(path);
    HKEY key = nullptr;
    LONG rc = RegCreateKeyA(HKEY_LOCAL_MACHINE, path, &key);
    if (rc != 0) return rc;
    rc = RegSetValueExA(key, pszValue, 0, dwType, static_cast<const BYTE*>(pData), cbData);
    RegCloseKey(key);
    return rc;
}

DWORD zkutil_text_length(LPCSTR psz) {
    DWORD n = 0;
    while (psz[n]) ++n;
    return n;
}

bool zkutil_ends_in_backslash(LPCSTR pszText, DWORD dwLength, LPCSTR* ppLast) {
    if (dwLength == 0) return false;
    LPCSTR last = CharPrevA(pszText, pszText + dwLength);
    if (*last != '\\') return false;
    if (ppLast) *ppLast = last;
    return true;
}
