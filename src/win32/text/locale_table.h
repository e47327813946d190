// The locales the layer knows: POSIX names, Windows locale ids and the
// three-letter abbreviations Windows gives for them.
#ifndef ZKXWIN32_LOCALE_TABLE_H
#define ZKXWIN32_LOCALE_TABLE_H

#include "zkxwin32/types.h"

namespace zkx::win32 {

struct LocaleNames {
    LCID lcid;
    const char* language;      // ISO 639, "en"
    const char* country;       // ISO 3166 alpha-2, "US"
    const char* abbrev_lang;   // "ENU": the ISO 639 code and a sublanguage letter
    const char* abbrev_ctry;   // "USA": ISO 3166 alpha-3 as Windows gives it
};

// The locale of a POSIX locale name ("de_DE.UTF-8", "fr_CA", "ja",
// "sr_RS@latin").  C, POSIX, an empty or unreadable name and an unknown
// language give en_US; a known language in an unknown country keeps the
// language's usual abbreviation and takes the country's own when the table
// has it.
LocaleNames locale_from_posix(const char* name);

// The locale of a Windows locale id; false when it is not in the table.
bool locale_from_lcid(LCID lcid, LocaleNames* out);

}  // namespace zkx::win32

#endif
