#include <cstring>

#include "ZKUtilPriv.h"

namespace {

constexpr DWORD kNoSystemType = 0xFFFFFFFF;

// Read and written with atomic accesses: threads whose first gets run at
// once may each find the value and store it.
DWORD g_system_type = kNoSystemType;

// States of a code cache.  Concurrent first gets each work out the code on
// their own; the one that wins the move from empty to filling copies it in
// and publishes it, the others answer from their own copy.  Nobody waits,
// and the text is never written while a reader may copy it.  Sets are the
// callers' to serialise with gets.
enum CodeState : DWORD { kCodeEmpty = 0, kCodeFilling = 1, kCodeFull = 2 };

struct CodeCache {
    LPCSTR value_name;
    DWORD locale_item;  // the locale abbreviation that gives the default
    LPCSTR fallback;  // when the locale cannot tell
    DWORD state;
    char text[ZKMISC_CODE_SIZE];
};

CodeCache g_lang_code = {"ZKLangCode", LOCALE_SABBREVLANGNAME, "EN", kCodeEmpty, {}};
CodeCache g_country_code = {"ZKCountryCode", LOCALE_SABBREVCTRYNAME, "US", kCodeEmpty, {}};

struct LanguageRow {
    char code[3];
    BYTE primary;
};

// Every row has sublanguage 1 (SUBLANG_DEFAULT).
const LanguageRow kLanguages[] = {
    {"EN", 0x09}, {"DE", 0x07}, {"FR", 0x0C}, {"IT", 0x10}, {"ES", 0x0A}, {"NL", 0x13},
    {"SV", 0x1D}, {"DA", 0x06}, {"NO", 0x14}, {"CS", 0x05}, {"HU", 0x0E}, {"PT", 0x16},
    {"PL", 0x15}, {"FI", 0x0B}, {"JP", 0x11}, {"RU", 0x19}, {"SK", 0x1B}, {"CH", 0x04},
    {"KO", 0x12}, {"TR", 0x1F}, {"EL", 0x08}, {"IS", 0x0F},
};

// Languages whose localize code is the country code.
const char* const kCountryQualified[] = {"ZH"};

char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

// Case-insensitive match of n characters (not necessarily terminated)
// against a terminated code.  Codes are ASCII; other bytes must be equal.
bool same_code(LPCSTR text, DWORD n, LPCSTR code) {
    for (DWORD i = 0; i < n; ++i) {
        if (!code[i] || ascii_upper(text[i]) != ascii_upper(code[i])) return false;
    }
    return code[n] == 0;
}

WORD language_id(LPCSTR code) {
    const DWORD n = zkutil_text_length(code);
    for (const LanguageRow& row : kLanguages) {
        if (same_code(code, n, row.code)) return WORD((1u << 10) | row.primary);
    }
    return 0;
}

// The stored code; false when the key, the value or its type is not as
// expected, or when it does not fit the cache.  An empty stored code is a
// code like any other.
bool stored_code(const CodeCache& cache, char (&work)[ZKMISC_CODE_SIZE]) {
    std::memset(work, 0, sizeof work);
    HKEY key = nullptr;
    if (zkutil_open_settings(KEY_READ, &key) != 0) return false;
    DWORD type = REG_NONE, bytes = sizeof work;
    LONG rc = zkutil_query_setting(key, cache.value_name, &type, work, &bytes);
    RegCloseKey(key);
    if (rc == 0 && type == REG_SZ) return true;
    std::memset(work, 0, sizeof work);
    return false;
}

// The locale's default: the first two characters of its abbreviation.
void locale_code(const CodeCache& cache, char (&work)[ZKMISC_CODE_SIZE]) {
    std::memset(work, 0, sizeof work);
    int n = GetLocaleInfoA(LOCALE_USER_DEFAULT, cache.locale_item, work, sizeof work);
    if (n <= 0 || !work[0] || !work[1]) {
        std::memset(work, 0, sizeof work);
        std::memcpy(work, cache.fallback, 2);
        return;
    }
    std::memset(work + 2, 0, sizeof work - 2);
}

// The cached code, the stored one or the locale's, into code.  An empty
// code is not cached: an empty cache means "look again", so the next get
// reads the registry again.
void current_code(CodeCache& cache, char (&code)[ZKMISC_CODE_SIZE]) {
    if (__atomic_load_n(&cache.state, __ATOMIC_ACQUIRE) == kCodeFull) {
        std::memcpy(code, cache.text, sizeof code);
        return;
    }
    if (!stored_code(cache, code)) locale_code(cache, code);
    if (!code[0]) return;
    DWORD expected = kCodeEmpty;
    if (__atomic_compare_exchange_n(&cache.state, &expected, DWORD(kCodeFilling), false,
                                    __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
        std::memcpy(cache.text, code, sizeof code);
        __atomic_store_n(&cache.state, DWORD(kCodeFull), __ATOMIC_RELEASE);
    }
}

DWORD get_code(CodeCache& cache, DWORD size, LPSTR buffer, LPDWORD length, LPWORD lang_id) {
    char code[ZKMISC_CODE_SIZE];
    current_code(cache, code);
    const DWORD n = zkutil_text_length(code);
    if (n > size) return ERROR_INSUFFICIENT_BUFFER;
    std::memset(buffer, 0, size);
    std::memcpy(buffer, code, n);
    *length = n;
    if (lang_id) *lang_id = language_id(code);
    return 0;
}

DWORD set_code(CodeCache& cache, DWORD flags, LPCSTR code) {
    if (flags & ZKMISC_FLAG_DELETE) {
        zkutil_delete_setting(cache.value_name);
        __atomic_store_n(&cache.state, DWORD(kCodeEmpty), __ATOMIC_RELEASE);
        return 0;
    }
    if (!code) return ERROR_INVALID_PARAMETER;
    DWORD n = 0;
    while (n < sizeof cache.text && code[n]) ++n;
    if (n >= sizeof cache.text) return ERROR_INSUFFICIENT_BUFFER;
    std::memset(cache.text, 0, sizeof cache.text);
    std::memcpy(cache.text, code, n);
    __atomic_store_n(&cache.state, DWORD(n ? kCodeFull : kCodeEmpty), __ATOMIC_RELEASE);
    if (flags & ZKMISC_FLAG_STORE) zkutil_store_setting(cache.value_name, REG_SZ, cache.text, n + 1);
    return 0;
}

}  // namespace

void zkutil_reset_code_caches() {
    __atomic_store_n(&g_system_type, kNoSystemType, __ATOMIC_RELAXED);
    __atomic_store_n(&g_lang_code.state, DWORD(kCodeEmpty), __ATOMIC_RELEASE);
    __atomic_store_n(&g_country_code.state, DWORD(kCodeEmpty), __ATOMIC_RELEASE);
}

ZKEXTERN DWORD ZKAPI ZKMiscGetSystemType(DWORD dwReserved1, DWORD dwReserved2, DWORD dwReserved3,
                                         LPDWORD pdwValue) {
    ZK_THREAD_CHECK();
    if (!pdwValue) return ERROR_INVALID_PARAMETER;
    DWORD value = __atomic_load_n(&g_system_type, __ATOMIC_RELAXED);
    if (value == kNoSystemType) {
        value = 0;  // reported, never cached
        HKEY key = nullptr;
        if (zkutil_open_settings(KEY_READ, &key) == 0) {
            DWORD type = REG_NONE, stored = 0, bytes = sizeof stored;
            LONG rc = zkutil_query_setting(key, "ZKSystemType", &type, &stored, &bytes);
            RegCloseKey(key);
            if (rc == 0 && type == REG_DWORD && bytes == sizeof stored) {
                __atomic_store_n(&g_system_type, stored, __ATOMIC_RELAXED);
                value = stored;
            }
        }
    }
    *pdwValue = value;
    return 0;
}

ZKEXTERN DWORD ZKAPI ZKMiscSetSystemType(DWORD dwReserved, DWORD dwFlags, DWORD dwValue) {
    ZK_THREAD_CHECK();
    if (dwFlags & ZKMISC_FLAG_DELETE) {
        zkutil_delete_setting("ZKSystemType");
        __atomic_store_n(&g_system_type, kNoSystemType, __ATOMIC_RELAXED);
        return 0;
    }
    __atomic_store_n(&g_system_type, dwValue, __ATOMIC_RELAXED);
    if (dwFlags & ZKMISC_FLAG_STORE)
        zkutil_store_setting("ZKSystemType", REG_DWORD, &dwValue, sizeof dwValue);
    return 0;
}

ZKEXTERN DWORD ZKAPI ZKMiscGetLangCode(LPWORD pwLangId, DWORD dwSize, LPSTR pszBuffer,
                                       LPDWORD pdwLength) {
    ZK_THREAD_CHECK();
    if (!pszBuffer || !pdwLength) return ERROR_INVALID_PARAMETER;
    return get_code(g_lang_code, dwSize, pszBuffer, pdwLength, pwLangId);
}

ZKEXTERN DWORD ZKAPI ZKMiscSetLangCode(DWORD dwReserved, DWORD dwFlags, LPCSTR pszCode) {
    ZK_THREAD_CHECK();
    return set_code(g_lang_code, dwFlags, pszCode);
}

ZKEXTERN DWORD ZKAPI ZKMiscGetCountryCode(LPVOID pReserved, DWORD dwSize, LPSTR pszBuffer,
                                          LPDWORD pdwLength) {
    ZK_THREAD_CHECK();
    if (pReserved || !pszBuffer || !pdwLength) return ERROR_INVALID_PARAMETER;
    return get_code(g_country_code, dwSize, pszBuffer, pdwLength, nullptr);
}

ZKEXTERN DWORD ZKAPI ZKMiscSetCountryCode(DWORD dwReserved, DWORD dwFlags, LPCSTR pszCode) {
    ZK_THREAD_CHECK();
    return set_code(g_country_code, dwFlags, pszCode);
}

ZKEXTERN DWORD ZKAPI ZKMiscGetLocalizeCode(LPVOID pReserved, DWORD dwSize, LPSTR pszBuffer,
                                           LPDWORD pdwLength) {
    ZK_THREAD_CHECK();
    if (pReserved || !pszBuffer || !pdwLength) return ERROR_INVALID_PARAMETER;
    DWORD rc = get_code(g_lang_code, dwSize, pszBuffer, pdwLength, nullptr);
    if (rc != 0) return rc;
    // The buffer holds *pdwLength characters, terminated only when there
    // was room, so the match is made on that count.
    for (LPCSTR language : kCountryQualified) {
        if (same_code(pszBuffer, *pdwLength, language))
            return get_code(g_country_code, dwSize, pszBuffer, pdwLength, nullptr);
    }
    return 0;
}
