/* Versions: ordering of the product's version strings. */
#ifndef ZKX_ZKVER_H
#define ZKX_ZKVER_H

#include "ZKPlatform.h"

/*
 * Orders two version strings part by part ("2.10.3b" against "2.9").  Parts
 * are separated by '.'; a part's digits form a number that outweighs its
 * letters (1.2 < 1.2a < 1.2b < 1.3, 1.9 < 1.10), spaces are skipped, and a
 * missing part counts as 0 (1.2 equals 1.2.0).
 *
 * On 0, *pnResult is -1, 0 or 1 as version 1 is lower than, equal to or
 * higher than version 2.  87 (ERROR_INVALID_PARAMETER), with *pnResult 0,
 * when a part that had to be compared holds another character, when a
 * string is longer than 255 characters, or when an argument is null.
 */
ZKEXTERN DWORD ZKAPI ZKCompareVersion(LPCSTR pszVersion1, LPCSTR pszVersion2, LONG* pnResult);

#endif
