#include "ZKUtil.h"

namespace {

// The registry paths and the object-name prefix are shared with installed
// registries and with every process of every build: their bytes are part of
// the on-disk and cross-process format.
const char kProductKey[] = "SOFTWARE\\VELKO\\ZKW";
const char kSettingsKey[] = "SOFTWARE\\VELKO\\ZKW\\Admin";
const char kObjectPrefix[] = "VELKO_ZK_";

DWORD text_length(LPCSTR s) {
    DWORD n = 0;
    while (s[n]) ++n;
    return n;
}

// Copies src with its terminator; the caller has checked the room.
void copy_text(LPSTR dst, LPCSTR src) {
    while ((*dst++ = *src++) != 0) {
    }
}

// Copies src so that it can stand in a kernel-object name: lone '\' and ':'
// become '_'.  A double-byte character is copied whole, so a trail byte that
// happens to equal '\' is left alone.  Writes one byte per byte read.
LPSTR copy_mapped(LPSTR dst, LPCSTR src) {
    while (*src) {
        BYTE c = static_cast<BYTE>(*src);
        if (IsDBCSLeadByte(c) && src[1]) {
            *dst++ = *src++;
            *dst++ = *src++;
            continue;
        }
        *dst++ = (c == '\\' || c == ':') ? '_' : *src;
        ++src;
    }
    *dst = 0;
    return dst;
}

}  // namespace

ZKEXTERN DWORD ZKAPI ZKMiscMakeRegPath(LPCSTR pszSubKey1, LPCSTR pszSubKey2, DWORD dwSize,
                                       LPSTR pszBuffer) {
    ZK_THREAD_CHECK();
    if (dwSize == 0 || !pszBuffer) return ERROR_INVALID_PARAMETER;
    if (dwSize < sizeof kSettingsKey) return ERROR_INSUFFICIENT_BUFFER;
    copy_text(pszBuffer, kSettingsKey);
    LPSTR end = pszBuffer + sizeof kSettingsKey - 1;
    DWORD room = dwSize - (sizeof kSettingsKey - 1);
    const LPCSTR subkeys[] = {pszSubKey1, pszSubKey2};
    for (LPCSTR sub : subkeys) {
        if (!sub) continue;
        DWORD n = text_length(sub);
        if (room <= n + 1) return ERROR_INSUFFICIENT_BUFFER;
        *end = '\\';
        copy_text(end + 1, sub);
        end += n + 1;
        room -= n + 1;
    }
    return 0;
}

ZKEXTERN DWORD ZKAPI ZKMiscGetSysBaseRegPath(DWORD dwSize, LPSTR pszBuffer) {
    ZK_THREAD_CHECK();
    if (dwSize == 0 || !pszBuffer) return ERROR_INVALID_PARAMETER;
    if (dwSize < sizeof kProductKey) return ERROR_INSUFFICIENT_BUFFER;
    copy_text(pszBuffer, kProductKey);
    return 0;
}

ZKEXTERN DWORD ZKAPI ZKMiscMakeSysObjName(LPCSTR pszPart1, LPCSTR pszPart2, LPCSTR pszName,
                                          DWORD dwSize, LPSTR pszBuffer) {
    ZK_THREAD_CHECK();
    if (!pszName || !pszBuffer || dwSize == 0) return ERROR_INVALID_PARAMETER;
    if (dwSize < sizeof kObjectPrefix) return ERROR_INSUFFICIENT_BUFFER;
    copy_text(pszBuffer, kObjectPrefix);
    LPSTR end = pszBuffer + sizeof kObjectPrefix - 1;
    DWORD room = dwSize - (sizeof kObjectPrefix - 1);
    const LPCSTR parts[] = {pszPart1, pszPart2};
    for (LPCSTR part : parts) {
        if (!part) continue;
        DWORD n = text_length(part);
        if (room <= n + 1) return ERROR_INSUFFICIENT_BUFFER;
        end = copy_mapped(end, part);
        *end++ = '_';
        *end = 0;
        room -= n + 1;
    }
    if (room <= text_length(pszName)) return ERROR_INSUFFICIENT_BUFFER;
    copy_mapped(end, pszName);
    return 0;
}
