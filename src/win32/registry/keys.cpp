// RegOpenKey*, RegCreateKey*, RegDeleteKeyA, RegEnumKeyExA, RegCloseKey.
#include <time.h>

#include <cstring>

#include "registry/files.h"
#include "registry/handles.h"
#include "registry/names.h"
#include "zkxwin32/errors.h"
#include "zkxwin32/registry.h"

using namespace zkx::win32::reg;

namespace {

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

FILETIME to_file_time(const timespec& ts) {
    uint64_t t = kUnixEpochAsFileTime + uint64_t(ts.tv_sec) * 10000000ull + uint64_t(ts.tv_nsec) / 100;
    return FILETIME{DWORD(t & 0xFFFFFFFFu), DWORD(t >> 32)};
}

// The key a handle names and the path below it, split into names.
LONG resolve_subkey(HKEY hKey, LPCSTR lpSubKey, KeyPtr* base, std::vector<std::string>* names) {
    LONG r = key_from_handle(hKey, base);
    return r != ERROR_SUCCESS ? r : split_key_path(lpSubKey, names);
}

LONG open_or_create(HKEY hKey, LPCSTR lpSubKey, REGSAM sam, bool create, PHKEY phkResult,
                    LPDWORD lpdwDisposition) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    KeyPtr base;
    std::vector<std::string> names;
    LONG r = resolve_subkey(hKey, lpSubKey, &base, &names);
    if (r != ERROR_SUCCESS) return r;
    KeyRef key;
    bool created = false;
    r = create ? create_key(*base, names, sam, &key, &created) : open_key(*base, names, sam, &key);
    if (r != ERROR_SUCCESS) return r;
    r = make_key_handle(key, phkResult);
    if (r == ERROR_SUCCESS && lpdwDisposition) {
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return r;
}

}  // namespace

extern "C" LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions,
                                        REGSAM samDesired, PHKEY phkResult) {
    if (ulOptions & ~DWORD(REG_OPTION_OPEN_LINK)) {
        if (phkResult) *phkResult = nullptr;
        return ERROR_INVALID_PARAMETER;
    }
    return open_or_create(hKey, lpSubKey, samDesired, false, phkResult, nullptr);
}

// The old calls: an empty path gives back the handle itself, and the key
// opens with every right the store allows this process.
static LSTATUS open_or_create_old(HKEY hKey, LPCSTR lpSubKey, bool create, PHKEY phkResult) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    if (!lpSubKey || !*lpSubKey) {
        KeyPtr key;
        LONG r = key_from_handle(hKey, &key);
        *phkResult = r == ERROR_SUCCESS ? hKey : nullptr;
        return r;
    }
    return open_or_create(hKey, lpSubKey, MAXIMUM_ALLOWED, create, phkResult, nullptr);
}

extern "C" LSTATUS WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    return open_or_create_old(hKey, lpSubKey, false, phkResult);
}

extern "C" LSTATUS WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    return open_or_create_old(hKey, lpSubKey, true, phkResult);
}

extern "C" LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved,
                                          LPSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                                          LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                          PHKEY phkResult, LPDWORD lpdwDisposition) {
    if (phkResult) *phkResult = nullptr;
    if (!lpSubKey || Reserved != 0) return ERROR_INVALID_PARAMETER;
    const DWORD known = REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK | REG_OPTION_BACKUP_RESTORE |
                        REG_OPTION_OPEN_LINK;
    if (dwOptions & ~known) return ERROR_INVALID_PARAMETER;
    // Every key of this store outlives the process; a volatile key or a
    // link would promise something it does not keep.
    if (dwOptions & (REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK)) return ERROR_NOT_SUPPORTED;
    return open_or_create(hKey, lpSubKey, samDesired, true, phkResult, lpdwDisposition);
}

extern "C" LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    KeyPtr base;
    std::vector<std::string> names;
    LONG r = resolve_subkey(hKey, lpSubKey, &base, &names);
    if (r != ERROR_SUCCESS) return r;
    return delete_key(*base, names);
}

extern "C" LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                                        LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                                        PFILETIME lpftLastWriteTime) {
    if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass)) {
        return ERROR_INVALID_PARAMETER;
    }
    KeyPtr key;
    LONG r = key_from_handle(hKey, &key);
    if (r != ERROR_SUCCESS) return r;
    if (!(key->access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    std::vector<std::string> dirs;
    r = list_subkeys(*key, &dirs);
    if (r != ERROR_SUCCESS) return r;
    if (dwIndex >= dirs.size()) return ERROR_NO_MORE_ITEMS;

    KeyFile sub;
    timespec mtime{};
    r = read_key_file(key->dir + "/" + dirs[dwIndex], &sub, &mtime);
    if (r == ERROR_FILE_NOT_FOUND) r = ERROR_REGISTRY_CORRUPT;  // a directory we did not make
    if (r != ERROR_SUCCESS) return r;
    if (*lpcchName < sub.name.size() + 1) return ERROR_MORE_DATA;
    std::memcpy(lpName, sub.name.c_str(), sub.name.size() + 1);
    *lpcchName = DWORD(sub.name.size());
    if (lpClass) {
        if (*lpcchClass < 1) return ERROR_MORE_DATA;
        lpClass[0] = '\0';
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime) *lpftLastWriteTime = to_file_time(mtime);
    return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    if (is_predefined_key(hKey)) return ERROR_SUCCESS;
    return close_key_handle(hKey);
}
