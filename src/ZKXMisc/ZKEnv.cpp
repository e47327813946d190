#include "ZKEnv.h"

#include <cstring>

#include "ZKUtilPriv.h"

static_assert(sizeof(ZKMISC_ENVIRONMENT) == 140, "the record's layout is part of the interface");

namespace {

constexpr ZKMISC_ENVIRONMENT kUnknown = {
    0, ZKMISC_OEMTYPE_UNKNOWN, 0, {'\xFF', '\xFF', '\xFF', '\xFF'}};

// The process's cached values.  A known field was read successfully, so its
// result is 0; an unknown one is read again by every get, which reports that
// read's outcome.  Each get therefore builds its record on its own and only
// the values are shared.  The OEM type is one word, read and written
// atomically.  The name is published once: the get that wins the move from
// empty to filling copies it in, then marks it full; other gets that read
// it meanwhile answer from their own copy.  Sets never touch the cache.
enum NameState : DWORD { kNameEmpty = 0, kNameFilling = 1, kNameFull = 2 };

DWORD g_oem_type = ZKMISC_OEMTYPE_UNKNOWN;
DWORD g_name_state = kNameEmpty;
CHAR g_name[ZKMISC_PRODUCTNAME_SIZE];

// A name is given to the setter only when none of its first four bytes is
// 0xFF: a short name copied over an unknown field is still unknown.
bool name_given(const CHAR* name) {
    for (int i = 0; i < 4; ++i) {
        if (static_cast<BYTE>(name[i]) == 0xFF) return false;
    }
    return true;
}

// What a failed or odd read leaves in a result field.
DWORD read_outcome(LONG rc, DWORD type, DWORD wanted) {
    if (rc == 0) return type == wanted ? 0 : ERROR_NO_DATA;
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_NO_DATA : static_cast<DWORD>(rc);
}

DWORD read_oem_type(DWORD* oem_type) {
    HKEY key = nullptr;
    if (zkutil_open_settings(KEY_READ, &key) != 0) return ERROR_NO_DATA;
    DWORD type = REG_NONE, value = 0, bytes = sizeof value;
    LONG rc = zkutil_query_setting(key, "ZKOemType", &type, &value, &bytes);
    RegCloseKey(key);
    // A REG_DWORD shorter than four bytes is no OEM type either.
    if (rc == 0 && type == REG_DWORD && bytes != sizeof value) type = REG_NONE;
    DWORD outcome = read_outcome(rc, type, REG_DWORD);
    if (outcome == 0) *oem_type = value;
    return outcome;
}

DWORD read_product_name(CHAR (&out)[ZKMISC_PRODUCTNAME_SIZE]) {
    HKEY key = nullptr;
    if (zkutil_open_settings(KEY_READ, &key) != 0) return ERROR_NO_DATA;
    // Read aside: a failed query must not disturb the unknown marker.
    CHAR name[ZKMISC_PRODUCTNAME_SIZE] = {};
    DWORD type = REG_NONE, bytes = sizeof name;
    LONG rc = zkutil_query_setting(key, "ZKProductName", &type, name, &bytes);
    RegCloseKey(key);
    DWORD outcome = read_outcome(rc, type, REG_SZ);
    if (outcome == 0) {
        std::memset(out, 0, sizeof out);
        std::memcpy(out, name, bytes);
    }
    return outcome;
}

void publish_name(const CHAR (&name)[ZKMISC_PRODUCTNAME_SIZE]) {
    DWORD expected = kNameEmpty;
    if (!__atomic_compare_exchange_n(&g_name_state, &expected, DWORD(kNameFilling), false,
                                     __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
        return;
    std::memcpy(g_name, name, sizeof g_name);
    __atomic_store_n(&g_name_state, DWORD(kNameFull), __ATOMIC_RELEASE);
}

// Opens the settings key for a store; the setter never creates it.
LONG open_for_store(HKEY* key) { return zkutil_open_settings(KEY_WRITE, key); }

}  // namespace

void zkutil_reset_environment_cache() {
    __atomic_store_n(&g_oem_type, ZKMISC_OEMTYPE_UNKNOWN, __ATOMIC_RELAXED);
    __atomic_store_n(&g_name_state, DWORD(kNameEmpty), __ATOMIC_RELEASE);
}

ZKEXTERN DWORD ZKAPI ZKMiscGetEnvironment(DWORD dwLevel, PZKMISC_ENVIRONMENT pEnv,
                                          LPDWORD pdwSize) {
    ZK_THREAD_CHECK();
    if (dwLevel != ZKMISC_ENV_LEVEL) return ERROR_INVALID_LEVEL;
    if (!pEnv || !pdwSize) return ERROR_INVALID_PARAMETER;

    ZKMISC_ENVIRONMENT env = kUnknown;
    // The outcome of the last read made in this call; 0 when none was made.
    DWORD last = 0;
    env.dwOemType = __atomic_load_n(&g_oem_type, __ATOMIC_RELAXED);
    if (env.dwOemType == ZKMISC_OEMTYPE_UNKNOWN) {
        last = env.dwOemTypeResult = read_oem_type(&env.dwOemType);
        if (last == 0) __atomic_store_n(&g_oem_type, env.dwOemType, __ATOMIC_RELAXED);
    }
    if (__atomic_load_n(&g_name_state, __ATOMIC_ACQUIRE) == kNameFull) {
        std::memcpy(env.szProductName, g_name, sizeof env.szProductName);
    } else {
        last = env.dwProductNameResult = read_product_name(env.szProductName);
        if (last == 0) publish_name(env.szProductName);
    }

    if (*pdwSize < sizeof(ZKMISC_ENVIRONMENT)) {
        *pdwSize = sizeof(ZKMISC_ENVIRONMENT);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    const DWORD oem = env.dwOemTypeResult, name = env.dwProductNameResult;
    DWORD result;
    if (oem != 0 && name != 0)
        result = 1;
    else if ((oem == 0 || oem == ERROR_NO_DATA) && (name == 0 || name == ERROR_NO_DATA))
        result = 0;
    else
        result = last;
    *pEnv = env;
    return result;
}

ZKEXTERN DWORD ZKAPI ZKMiscSetEnvironment(DWORD dwLevel, const ZKMISC_ENVIRONMENT* pEnv,
                                          DWORD dwReserved) {
    ZK_THREAD_CHECK();
    if (dwReserved != 0 || !pEnv) return ERROR_INVALID_PARAMETER;
    if (dwLevel != ZKMISC_ENV_LEVEL) return ERROR_INVALID_LEVEL;
    const bool oem_given = pEnv->dwOemType != ZKMISC_OEMTYPE_UNKNOWN;
    if (oem_given && pEnv->dwOemType > 1) return ERROR_INVALID_DATA;

    // Everything is checked before the first store, so a bad name does not
    // leave the OEM type written alone.
    CHAR name[ZKMISC_PRODUCTNAME_SIZE];
    DWORD name_length = 0;
    const bool name_set = name_given(pEnv->szProductName);
    if (name_set) {
        while (name_length < sizeof name && pEnv->szProductName[name_length]) ++name_length;
        if (name_length == sizeof name) return ERROR_INVALID_PARAMETER;
        std::memcpy(name, pEnv->szProductName, name_length + 1);
    }

    DWORD result = 0;
    HKEY key = nullptr;
    if (oem_given) {
        if (open_for_store(&key) != 0) return ERROR_ACCESS_DENIED;
        result = RegSetValueExA(key, "ZKOemType", 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&pEnv->dwOemType), sizeof(DWORD));
        RegCloseKey(key);
    }
    if (name_set) {
        if (open_for_store(&key) != 0) return ERROR_NO_DATA;
        result = RegSetValueExA(key, "ZKProductName", 0, REG_SZ, reinterpret_cast<const BYTE*>(name),
                                name_length + 1);
        RegCloseKey(key);
    }
    return result;
}
