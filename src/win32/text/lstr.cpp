// The lstr family.  Where Win32 would fault on a bad pointer and catch it,
// these check for null up front and answer as Win32 documents for that case.
#include <cstring>

#include "text/codepage.h"
#include "zkxwin32/errors.h"
#include "zkxwin32/text.h"

namespace {

LPSTR refuse() {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
}

// Both comparisons order by the case-folded text first, so that "apple" sorts
// before "Banana" as it does on Windows.  For lstrcmpA the first difference in
// case breaks a tie, lower case first.  Both strings are walked in step: while
// they agree, a byte is a trail byte in one exactly when it is in the other,
// and trail bytes are compared as they are, never folded.
int compare(const char* a, const char* b, bool ignore_case) {
    if (!a || !b) return a == b ? 0 : (a ? 1 : -1);
    const bool dbcs = zkx::win32::code_page_is_dbcs();
    int tie = 0;
    bool trail = false;
    for (size_t i = 0;; ++i) {
        unsigned char ca = static_cast<unsigned char>(a[i]);
        unsigned char cb = static_cast<unsigned char>(b[i]);
        unsigned char ka = trail ? ca : zkx::win32::fold_case(ca);
        unsigned char kb = trail ? cb : zkx::win32::fold_case(cb);
        if (ka != kb) return ka < kb ? -1 : 1;
        if (ca == 0) return ignore_case ? 0 : tie;
        if (ca != cb && tie == 0) tie = ca == ka ? -1 : 1;
        trail = !trail && dbcs && zkx::win32::is_lead_byte(ca);
    }
}

}  // namespace

extern "C" int WINAPI lstrlenA(LPCSTR lpString) {
    return lpString ? static_cast<int>(std::strlen(lpString)) : 0;
}

extern "C" LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2) {
    if (!lpString1 || !lpString2) return refuse();
    std::memmove(lpString1, lpString2, std::strlen(lpString2) + 1);
    return lpString1;
}

extern "C" LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength) {
    if (!lpString1 || !lpString2 || iMaxLength < 0) return refuse();
    if (iMaxLength == 0) return lpString1;
    size_t n = strnlen(lpString2, static_cast<size_t>(iMaxLength) - 1);
    std::memmove(lpString1, lpString2, n);
    lpString1[n] = 0;
    return lpString1;
}

extern "C" LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2) {
    if (!lpString1 || !lpString2) return refuse();
    size_t len = std::strlen(lpString1);
    std::memmove(lpString1 + len, lpString2, std::strlen(lpString2) + 1);
    return lpString1;
}

extern "C" int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2) {
    return compare(lpString1, lpString2, false);
}

extern "C" int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) {
    return compare(lpString1, lpString2, true);
}
