/* Installation settings: registry paths and kernel-object names. */
#ifndef ZKX_ZKUTIL_H
#define ZKX_ZKUTIL_H

#include "ZKPlatform.h"

/*
 * The builders fill a caller's buffer of dwSize bytes (terminator included)
 * and touch nothing else; they may be called from any thread at any time.
 * Results: 0; 87 (ERROR_INVALID_PARAMETER) for a null buffer, a size of 0 or
 * a missing name; 122 (ERROR_INSUFFICIENT_BUFFER) when the text does not
 * fit.  After 122 the buffer holds the terminated text built so far; use
 * the buffer only after 0.
 */

/* "SOFTWARE\VELKO\ZKW\Admin", then "\" and each subkey given (null skips). */
ZKEXTERN DWORD ZKAPI ZKMiscMakeRegPath(LPCSTR pszSubKey1, LPCSTR pszSubKey2, DWORD dwSize,
                                       LPSTR pszBuffer);

/* "SOFTWARE\VELKO\ZKW". */
ZKEXTERN DWORD ZKAPI ZKMiscGetSysBaseRegPath(DWORD dwSize, LPSTR pszBuffer);

/*
 * "VELKO_ZK_", then part 1 and "_" and part 2 and "_" (each if given), then
 * the name.  In the three caller strings '\' and ':' become '_', so a file
 * path can name a kernel object; double-byte characters pass unchanged.
 */
ZKEXTERN DWORD ZKAPI ZKMiscMakeSysObjName(LPCSTR pszPart1, LPCSTR pszPart2, LPCSTR pszName,
                                          DWORD dwSize, LPSTR pszBuffer);

#endif
