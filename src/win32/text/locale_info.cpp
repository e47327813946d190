// GetLocaleInfoA for the handful of fields the library asks for.  The user's
// locale is read from the environment at every call, so a process (or a
// test) that changes LANG or LC_ALL sees the change at once.
#include <stdio.h>
#include <stdlib.h>

#include <cstring>
#include <string>

#include "text/locale_table.h"
#include "zkxwin32/errors.h"
#include "zkxwin32/system.h"

namespace zkx::win32 {
namespace {

constexpr DWORD kLocaleUseCpAcp = 0x40000000u;

// The locale name POSIX uses for messages: LC_ALL, else LC_MESSAGES, else
// LANG; the first one that is set and not empty.
const char* posix_locale_name() {
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = getenv(var);
        if (value && value[0]) return value;
    }
    return "C";
}

bool resolve(LCID lcid, LocaleNames* out) {
    if (lcid == LOCALE_USER_DEFAULT || lcid == LOCALE_SYSTEM_DEFAULT || lcid == 0) {
        *out = locale_from_posix(posix_locale_name());
        return true;
    }
    return locale_from_lcid(lcid, out);
}

bool field(const LocaleNames& names, DWORD type, std::string* text) {
    switch (type) {
    case LOCALE_SABBREVLANGNAME: *text = names.abbrev_lang; return true;
    case LOCALE_SABBREVCTRYNAME: *text = names.abbrev_ctry; return true;
    case LOCALE_SISO639LANGNAME: *text = names.language; return true;
    case LOCALE_SISO3166CTRYNAME: *text = names.country; return true;
    case LOCALE_ILANGUAGE: {
        char hex[8];
        snprintf(hex, sizeof hex, "%04x", unsigned(names.lcid));
        *text = hex;
        return true;
    }
    default: return false;
    }
}

}  // namespace
}  // namespace zkx::win32

using namespace zkx::win32;

extern "C" int WINAPI GetLocaleInfoA(LCID lcid, DWORD type, LPSTR buffer, int size) {
    if (size < 0 || (size > 0 && !buffer)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    LocaleNames names;
    if (!resolve(lcid, &names)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string text;
    if (!field(names, type & ~(LOCALE_NOUSEROVERRIDE | kLocaleUseCpAcp), &text)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    int needed = int(text.size()) + 1;
    if (size == 0) return needed;
    if (size < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(buffer, text.c_str(), size_t(needed));
    return needed;
}
