// RegQueryValueExA, RegSetValueExA, RegDeleteValueA, RegEnumValueA,
// RegFlushKey, and the layer's batch of value changes.
#include <cstring>
#include <unordered_map>

#include "registry/handles.h"
#include "registry/names.h"
#include "zkxwin32/errors.h"
#include "zkxwin32/registry.h"

using namespace zkx::win32::reg;

namespace {

// A null value name is the key's unnamed value, as "" is.
std::string value_name(LPCSTR name) { return name ? std::string(name) : std::string(); }

LONG key_with_right(HKEY hKey, REGSAM right, KeyPtr* key) {
    LONG r = key_from_handle(hKey, key);
    if (r != ERROR_SUCCESS) return r;
    return ((*key)->access & right) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// The data half of a query or an enumeration, by the Win32 rules: no buffer
// asks for the size; a buffer too small gets ERROR_MORE_DATA and the size.
LONG copy_data(const Value& v, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpType) *lpType = v.type;
    DWORD size = DWORD(v.data.size());
    if (lpData) {
        DWORD room = *lpcbData;
        *lpcbData = size;
        if (room < size) return ERROR_MORE_DATA;
        std::memcpy(lpData, v.data.data(), size);
    } else if (lpcbData) {
        *lpcbData = size;
    }
    return ERROR_SUCCESS;
}

// The values of a key the handle may query.
LONG read_values(HKEY hKey, KeyFile* file) {
    KeyPtr key;
    LONG r = key_with_right(hKey, KEY_QUERY_VALUE, &key);
    return r != ERROR_SUCCESS ? r : read_key(*key, file);
}

}  // namespace

extern "C" LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved,
                                           LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    KeyFile file;
    LONG r = read_values(hKey, &file);
    if (r != ERROR_SUCCESS) return r;
    const Value* v = file.find(value_name(lpValueName));
    if (!v) return ERROR_FILE_NOT_FOUND;
    return copy_data(*v, lpType, lpData, lpcbData);
}

extern "C" LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved,
                                         DWORD dwType, const BYTE* lpData, DWORD cbData) {
    if (Reserved != 0) return ERROR_INVALID_PARAMETER;
    // Windows reads the caller's buffer and fails on the bad pointer.
    if (!lpData && cbData != 0) return ERROR_NOACCESS;
    std::string name = value_name(lpValueName);
    if (name.size() > kMaxValueNameChars || cbData > kMaxValueBytes) return ERROR_INVALID_PARAMETER;
    KeyPtr key;
    LONG r = key_with_right(hKey, KEY_SET_VALUE, &key);
    if (r != ERROR_SUCCESS) return r;
    std::string data;
    if (lpData) data.assign(reinterpret_cast<const char*>(lpData), cbData);
    return modify_key(*key, [&](KeyFile& file) {
        // An existing value keeps the name it was created with.
        Value* v = file.find(name);
        if (!v) {
            file.values.push_back(Value{name, 0, {}});
            v = &file.values.back();
        }
        v->type = dwType;
        v->data = std::move(data);
        return LONG(ERROR_SUCCESS);
    });
}

extern "C" LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    KeyPtr key;
    LONG r = key_with_right(hKey, KEY_SET_VALUE, &key);
    if (r != ERROR_SUCCESS) return r;
    std::string name = value_name(lpValueName);
    return modify_key(*key, [&](KeyFile& file) {
        const Value* v = file.find(name);
        if (!v) return LONG(ERROR_FILE_NOT_FOUND);
        file.values.erase(file.values.begin() + (v - file.values.data()));
        return LONG(ERROR_SUCCESS);
    });
}

extern "C" LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName,
                                        LPDWORD lpcchValueName, LPDWORD lpReserved, LPDWORD lpType,
                                        LPBYTE lpData, LPDWORD lpcbData) {
    if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) {
        return ERROR_INVALID_PARAMETER;
    }
    KeyFile file;
    LONG r = read_values(hKey, &file);
    if (r != ERROR_SUCCESS) return r;
    if (dwIndex >= file.values.size()) return ERROR_NO_MORE_ITEMS;
    const Value& v = file.values[dwIndex];
    if (*lpcchValueName < v.name.size() + 1) return ERROR_MORE_DATA;
    std::memcpy(lpValueName, v.name.c_str(), v.name.size() + 1);
    *lpcchValueName = DWORD(v.name.size());
    return copy_data(v, lpType, lpData, lpcbData);
}

extern "C" LSTATUS WINAPI RegFlushKey(HKEY hKey) {
    KeyPtr key;
    LONG r = key_with_right(hKey, KEY_QUERY_VALUE, &key);
    if (r != ERROR_SUCCESS) return r;
    return flush_key(*key);
}

extern "C" LSTATUS zkx_reg_change_values(HKEY hKey, DWORD count, const ZKX_REG_VALUE_CHANGE* changes) {
    if (count != 0 && !changes) return ERROR_INVALID_PARAMETER;
    for (DWORD i = 0; i < count; ++i) {
        const ZKX_REG_VALUE_CHANGE& c = changes[i];
        if (c.remove) continue;
        if (!c.data && c.size != 0) return ERROR_NOACCESS;
        if (value_name(c.name).size() > kMaxValueNameChars || c.size > kMaxValueBytes) {
            return ERROR_INVALID_PARAMETER;
        }
    }
    KeyPtr key;
    LONG r = key_with_right(hKey, KEY_SET_VALUE, &key);
    if (r != ERROR_SUCCESS) return r;
    return modify_key(*key, [&](KeyFile& file) {
        // By folded name: a key of many values must not cost a scan per change.
        std::unordered_map<std::string, size_t> index;
        for (size_t i = 0; i < file.values.size(); ++i) index.emplace(fold(file.values[i].name), i);
        // Removals are marked and swept at the end, so the index stays valid;
        // a value set again after its removal goes to the end, as it would
        // by RegDeleteValueA and RegSetValueExA.
        std::vector<bool> removed(file.values.size(), false);
        for (DWORD i = 0; i < count; ++i) {
            const ZKX_REG_VALUE_CHANGE& c = changes[i];
            std::string name = value_name(c.name);
            std::string folded = fold(name);
            auto it = index.find(folded);
            if (c.remove) {
                if (it != index.end()) {
                    removed[it->second] = true;
                    index.erase(it);
                }
                continue;
            }
            size_t at;
            if (it == index.end()) {
                at = file.values.size();
                file.values.push_back(Value{name, 0, {}});
                removed.push_back(false);
                index.emplace(std::move(folded), at);
            } else {
                at = it->second;
            }
            file.values[at].type = c.type;
            file.values[at].data.assign(reinterpret_cast<const char*>(c.data), c.size);
        }
        size_t kept = 0;
        for (size_t i = 0; i < file.values.size(); ++i) {
            if (removed[i]) continue;
            if (kept != i) file.values[kept] = std::move(file.values[i]);
            ++kept;
        }
        file.values.resize(kept);
        return LONG(ERROR_SUCCESS);
    });
}
