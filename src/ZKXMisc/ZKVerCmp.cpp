#include "ZKVer.h"

namespace {

constexpr int kWorkSize = 256;
constexpr DWORD kInvalidPart = 0xFFFFFFFF;

// Copies a version string into a zero-filled working buffer; false when it
// does not fit with its terminator.
bool copy_version(LPCSTR src, char (&dst)[kWorkSize]) {
    for (int i = 0; i < kWorkSize; ++i) dst[i] = 0;
    for (int i = 0; src[i]; ++i) {
        if (i == kWorkSize - 1) return false;
        dst[i] = src[i];
    }
    return true;
}

// A part's value: 32 times the number its digits form, plus the alphabet
// places of its letters; wraps modulo 2^32 like the 32-bit original.  False
// for a part with any other character, and for a part whose value is
// 0xFFFFFFFF: that value is the invalid mark, so a long part that wraps to
// it is refused as well, and both builds agree on which strings compare.
bool part_value(const char* begin, const char* end, DWORD* out) {
    DWORD value = 0;
    DWORD digit_weight = 32;
    for (const char* p = end; p != begin;) {
        unsigned char c = static_cast<unsigned char>(*--p);
        if (c >= '0' && c <= '9') {
            value += DWORD(c - '0') * digit_weight;
            digit_weight *= 10;
        } else if (c >= 'A' && c <= 'Z') {
            value += DWORD(c - 'A' + 1);
        } else if (c >= 'a' && c <= 'z') {
            value += DWORD(c - 'a' + 1);
        } else if (c != ' ') {
            return false;
        }
    }
    *out = value;
    return value != kInvalidPart;
}

// Cuts the next part out of s at *pos and moves *pos past its separator.
bool next_part(const char* s, int* pos, DWORD* value) {
    int start = *pos, end = start;
    while (s[end] && s[end] != '.') ++end;
    *pos = s[end] ? end + 1 : end;
    return part_value(s + start, s + end, value);
}

}  // namespace

ZKEXTERN DWORD ZKAPI ZKCompareVersion(LPCSTR pszVersion1, LPCSTR pszVersion2, LONG* pnResult) {
    ZK_THREAD_CHECK();
    if (!pnResult) return ERROR_INVALID_PARAMETER;
    *pnResult = 0;
    char v1[kWorkSize], v2[kWorkSize];
    if (!pszVersion1 || !pszVersion2 || !copy_version(pszVersion1, v1) ||
        !copy_version(pszVersion2, v2))
        return ERROR_INVALID_PARAMETER;

    int pos1 = 0, pos2 = 0;
    for (;;) {
        DWORD a = 0, b = 0;
        // Both parts are valued before either is judged.
        const bool valid1 = next_part(v1, &pos1, &a);
        const bool valid2 = next_part(v2, &pos2, &b);
        if (!valid1 || !valid2) return ERROR_INVALID_PARAMETER;
        if (a != b) {
            *pnResult = a > b ? 1 : -1;
            return 0;
        }
        if (!v1[pos1] && !v2[pos2]) return 0;
    }
}
