#include "CLib.h"

ZKEXTERN void ZKAPI MEMCPY(void* dst, const void* src, DWORD count) {
    ZK_THREAD_CHECK();
    // Forward, byte by byte, on purpose: callers rely on an overlapping copy
    // to a lower address working and to a higher one repeating bytes.
    auto* d = static_cast<volatile BYTE*>(dst);
    auto* s = static_cast<const volatile BYTE*>(src);
    for (DWORD i = 0; i < count; ++i) d[i] = s[i];
}

ZKEXTERN void ZKAPI MEMSET(void* dst, DWORD value, DWORD count) {
    ZK_THREAD_CHECK();
    auto* d = static_cast<BYTE*>(dst);
    for (DWORD i = 0; i < count; ++i) d[i] = static_cast<BYTE>(value);
}

ZKEXTERN LPSTR ZKAPI STRDUP(LPCSTR str) {
    ZK_THREAD_CHECK();
    if (!str) return nullptr;
    SIZE_T size = 0;
    while (str[size]) ++size;
    ++size;
    auto* copy = static_cast<LPSTR>(LocalAlloc(LPTR, size));
    if (!copy) return nullptr;
    for (SIZE_T i = 0; i < size; ++i) copy[i] = str[i];
    return copy;
}
