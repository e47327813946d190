// The environment and the Windows directory.
#include <stdlib.h>

#include <cstring>

#include "zkxwin32/errors.h"
#include "zkxwin32/system.h"

extern char** environ;

namespace {

constexpr char kWindowsDirectory[] = "C:\\WINDOWS";

bool same_ignoring_case(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = char(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = char(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

// Win32 names ignore case; the host's do not.  An exact match wins, then
// the first entry that differs only in case.
const char* find_variable(const char* name) {
    if (const char* v = getenv(name)) return v;
    size_t n = strlen(name);
    for (char** e = environ; e && *e; ++e) {
        if (same_ignoring_case(*e, name, n) && (*e)[n] == '=') return *e + n + 1;
    }
    return nullptr;
}

}  // namespace

extern "C" DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* value = (name[0] && !strchr(name, '=')) ? find_variable(name) : nullptr;
    if (!value) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    size_t len = strlen(value);
    if (!buffer || size <= len) return DWORD(len + 1);
    memcpy(buffer, value, len + 1);
    if (len == 0) SetLastError(ERROR_SUCCESS);  // tells an empty value from a missing one
    return DWORD(len);
}

extern "C" UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    constexpr UINT len = sizeof kWindowsDirectory - 1;
    if (!buffer || size <= len) return len + 1;
    memcpy(buffer, kWindowsDirectory, len + 1);
    return len;
}
