/* Installation settings: registry paths and kernel-object names, the
 * installation directories, the system type and the locale codes. */
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

/*
 * Settings.  Each lives in the settings key under HKEY_LOCAL_MACHINE and is
 * cached per process from the first successful get or any set on; a value
 * another process stores later is seen only by processes that have not
 * cached it yet.  The caches take no lock: a caller that sets a value while
 * other threads of its process read it serialises those calls itself.
 *
 * Setter flags.  Without either bit a setter changes only this process's
 * cached copy.
 */
#define ZKMISC_FLAG_STORE 0x00000010u  /* also write the value to the registry */
#define ZKMISC_FLAG_DELETE 0x00000020u /* delete the registry value and forget the
                                          cached copy; wins over everything else */

/* Capacities, terminator included, that always suffice for a getter. */
#define ZKMISC_DIR_SIZE 261u
#define ZKMISC_DATADIR_SIZE 270u
#define ZKMISC_CODE_SIZE 260u

/*
 * Installation directories, held and returned without a trailing backslash
 * (a directory that is only a backslash keeps it when set, and a stored one
 * reads as empty).
 *
 * ZK directory: value "ZKDir"; else the directory of the library's own
 * module file; else the Windows directory and "\ZK".  Data directory:
 * "ZKDataDir", else the ZK directory and "\ZKWData".  DLL directory:
 * "ZKDllDir", else the ZK directory.  A derived default is cached like a
 * stored value, so a later set of the ZK directory does not move it.
 *
 * Getters copy the directory with its terminator into pszBuffer (dwSize
 * bytes) and, when pdwLength is given, store its length without the
 * terminator.  0; 87 null buffer or size 0; 122 the buffer is too small
 * (the cache stays filled; retry with a larger one) or the stored value or
 * default does not fit the cache; the data and DLL getters also return the
 * registry's code when the value is unreadable for another reason than its
 * absence.
 *
 * Setters: 0; 87 directory null or empty without ZKMISC_FLAG_DELETE; 122
 * directory longer than its cache (260 characters, 269 for the data
 * directory, not counting a trailing backslash), nothing changes.  A
 * registry failure while storing or deleting is not reported.
 */
ZKEXTERN DWORD ZKAPI ZKMiscGetZKDir(DWORD dwReserved, DWORD dwSize, LPSTR pszBuffer,
                                    LPDWORD pdwLength);
ZKEXTERN DWORD ZKAPI ZKMiscGetDataDir(DWORD dwReserved, DWORD dwSize, LPSTR pszBuffer,
                                      LPDWORD pdwLength);
ZKEXTERN DWORD ZKAPI ZKMiscGetDllDir(DWORD dwReserved, DWORD dwSize, LPSTR pszBuffer,
                                     LPDWORD pdwLength);
ZKEXTERN DWORD ZKAPI ZKMiscSetZKDir(DWORD dwReserved, DWORD dwFlags, LPCSTR pszDir);
ZKEXTERN DWORD ZKAPI ZKMiscSetDataDir(DWORD dwReserved, DWORD dwFlags, LPCSTR pszDir);
ZKEXTERN DWORD ZKAPI ZKMiscSetDllDir(DWORD dwReserved, DWORD dwFlags, LPCSTR pszDir);

/*
 * System type: value "ZKSystemType" (REG_DWORD).  Nothing stored reads as 0,
 * which is not cached, so the next get looks again; so does a cache set to
 * 0xFFFFFFFF.  Get: 0, or 87 when pdwValue is null.  Set: always 0.
 */
ZKEXTERN DWORD ZKAPI ZKMiscGetSystemType(DWORD dwReserved1, DWORD dwReserved2, DWORD dwReserved3,
                                         LPDWORD pdwValue);
ZKEXTERN DWORD ZKAPI ZKMiscSetSystemType(DWORD dwReserved, DWORD dwFlags, DWORD dwValue);

/*
 * Language and country codes: values "ZKLangCode" and "ZKCountryCode"
 * (REG_SZ), taken as stored; when absent, empty or unreadable, the first
 * two letters of the user locale's abbreviated language or country name
 * (ENU gives EN, USA gives US; EN and US when the locale cannot tell).  A
 * default is cached like a stored code.
 *
 * Getters zero dwSize bytes of pszBuffer, copy the code's characters to its
 * start (terminated only when dwSize exceeds the length) and store their
 * number through pdwLength.  0; 87 buffer or length pointer null, or the
 * first argument of the country and localize getters not null; 122 the
 * code is longer than dwSize, nothing written.  pwLangId, when given,
 * receives the code's Windows language identifier (0x0409 for EN, ...),
 * or 0 for a code the library does not know.
 *
 * The localize code is the language code, or for languages that are
 * qualified by their country (ZH) the country code.
 *
 * Setters: 0; 87 code null without ZKMISC_FLAG_DELETE; 122 code longer than
 * 259 characters, nothing changes.  An empty code empties the cache, so
 * the next get looks again.
 */
ZKEXTERN DWORD ZKAPI ZKMiscGetLangCode(LPWORD pwLangId, DWORD dwSize, LPSTR pszBuffer,
                                       LPDWORD pdwLength);
ZKEXTERN DWORD ZKAPI ZKMiscSetLangCode(DWORD dwReserved, DWORD dwFlags, LPCSTR pszCode);
ZKEXTERN DWORD ZKAPI ZKMiscGetCountryCode(LPVOID pReserved, DWORD dwSize, LPSTR pszBuffer,
                                          LPDWORD pdwLength);
ZKEXTERN DWORD ZKAPI ZKMiscSetCountryCode(DWORD dwReserved, DWORD dwFlags, LPCSTR pszCode);
ZKEXTERN DWORD ZKAPI ZKMiscGetLocalizeCode(LPVOID pReserved, DWORD dwSize, LPSTR pszBuffer,
                                           LPDWORD pdwLength);

#endif
