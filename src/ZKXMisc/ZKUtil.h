/**
 * @file ZKUtil.h
 * @brief Installation settings: registry paths and kernel-object names, the
 * installation directories, the system type and the locale codes.
 *
 * The builders fill a caller's buffer of dwSize bytes (terminator included)
 * and touch nothing else; they may be called from any thread at any time.
 * After 122 the buffer holds the terminated text built so far; use the
 * buffer only after 0.
 *
 * Settings live in the settings key under HKEY_LOCAL_MACHINE and are cached
 * per process from the first successful get or any set on; a value another
 * process stores later is seen only by processes that have not cached it
 * yet.  Gets may run on any number of threads at once, first gets
 * included: the caches take no lock, each concurrent first get reads the
 * registry on its own and one of them publishes the value whole.  A caller
 * that sets a value while other threads of its process get it serialises
 * those calls itself.  Without
 * either setter flag a setter changes only this process's cached copy.
 */
#ifndef ZKX_ZKUTIL_H
#define ZKX_ZKUTIL_H

#include "ZKPlatform.h"

/**
 * @brief Builds a path below the settings key: "SOFTWARE\\VELKO\\ZKW\\Admin",
 * then "\\" and each subkey given.
 * @param pszSubKey1 First subkey, or null to skip it.
 * @param pszSubKey2 Second subkey, or null to skip it.
 * @param dwSize     Size of pszBuffer in bytes.
 * @param pszBuffer  Caller's buffer.
 * @return 0; 87 null buffer or size 0; 122 the text does not fit.
 */
ZKEXTERN DWORD ZKAPI ZKMiscMakeRegPath(LPCSTR pszSubKey1, LPCSTR pszSubKey2, DWORD dwSize,
                                       LPSTR pszBuffer);

/**
 * @brief Copies the product key path "SOFTWARE\\VELKO\\ZKW".
 * @param dwSize    Size of pszBuffer in bytes.
 * @param pszBuffer Caller's buffer.
 * @return 0; 87 null buffer or size 0; 122 the text does not fit.
 */
ZKEXTERN DWORD ZKAPI ZKMiscGetSysBaseRegPath(DWORD dwSize, LPSTR pszBuffer);

/**
 * @brief Builds a kernel-object name: "VELKO_ZK_", then part 1 and "_" and
 * part 2 and "_" (each if given), then the name.
 *
 * In the three caller strings '\\' and ':' become '_', so a file path can
 * name a kernel object; double-byte characters pass unchanged.
 * @param pszPart1  First part, or null.
 * @param pszPart2  Second part, or null.
 * @param pszName   The name; never null.
 * @param dwSize    Size of pszBuffer in bytes.
 * @param pszBuffer Caller's buffer.
 * @return 0; 87 null buffer, size 0 or missing name; 122 the text does not
 *         fit.
 */
ZKEXTERN DWORD ZKAPI ZKMiscMakeSysObjName(LPCSTR pszPart1, LPCSTR pszPart2, LPCSTR pszName,
                                          DWORD dwSize, LPSTR pszBuffer);

#define ZKMISC_FLAG_STORE 0x00000010u  /**< setter flag: also write the value to the registry */
#define ZKMISC_FLAG_DELETE 0x00000020u /**< setter flag: delete the registry value and
                                          forget the cached copy; wins over
                                          everything else */

/** @name Capacities, terminator included, that always suffice for a getter
 * @{ */
#define ZKMISC_DIR_SIZE 261u     /**< ZK and DLL directories */
#define ZKMISC_DATADIR_SIZE 270u /**< data directory */
#define ZKMISC_CODE_SIZE 260u    /**< language, country and localize codes */
/** @} */

/**
 * @brief Gets the ZK directory: value "ZKDir"; else the directory of the
 * library's own module file; else the Windows directory and "\\ZK".
 *
 * A module path of more than 260 characters counts as no module directory,
 * so the Windows directory's default follows.
 *
 * Directories are held and returned without a trailing backslash (a
 * directory that is only a backslash keeps it when set, and a stored one
 * reads as empty).  A derived default is cached like a stored value, so a
 * later set of the ZK directory does not move it.
 * @param dwReserved Reserved.
 * @param dwSize     Size of pszBuffer in bytes.
 * @param pszBuffer  Receives the directory with its terminator.
 * @param pdwLength  Receives its length without the terminator; may be null.
 * @return 0; 87 null buffer or size 0; 122 the buffer is too small (the
 *         cache stays filled; retry with a larger one) or the stored value or
 *         default does not fit the cache.
 */
ZKEXTERN DWORD ZKAPI ZKMiscGetZKDir(DWORD dwReserved, DWORD dwSize, LPSTR pszBuffer,
                                    LPDWORD pdwLength);
/**
 * @brief Gets the data directory: value "ZKDataDir", else the ZK directory
 * and "\\ZKWData".
 *
 * Directories are held and returned without a trailing backslash (a
 * directory that is only a backslash keeps it when set, and a stored one
 * reads as empty).  A derived default is cached like a stored value, so a
 * later set of the ZK directory does not move it.
 * @param dwReserved Reserved.
 * @param dwSize     Size of pszBuffer in bytes.
 * @param pszBuffer  Receives the directory with its terminator.
 * @param pdwLength  Receives its length without the terminator; may be null.
 * @return 0; 87 null buffer or size 0; 122 the buffer is too small (the
 *         cache stays filled; retry with a larger one) or the stored value or
 *         default does not fit the cache; the registry's code when the value is
 *         unreadable for another reason than its absence.
 */
ZKEXTERN DWORD ZKAPI ZKMiscGetDataDir(DWORD dwReserved, DWORD dwSize, LPSTR pszBuffer,
                                      LPDWORD pdwLength);
/**
 * @brief Gets the DLL directory: value "ZKDllDir", else the ZK directory.
 *
 * Directories are held and returned without a trailing backslash (a
 * directory that is only a backslash keeps it when set, and a stored one
 * reads as empty).  A derived default is cached like a stored value, so a
 * later set of the ZK directory does not move it.
 * @param dwReserved Reserved.
 * @param dwSize     Size of pszBuffer in bytes.
 * @param pszBuffer  Receives the directory with its terminator.
 * @param pdwLength  Receives its length without the terminator; may be null.
 * @return 0; 87 null buffer or size 0; 122 the buffer is too small (the
 *         cache stays filled; retry with a larger one) or the stored value or
 *         default does not fit the cache; the registry's code when the value is
 *         unreadable for another reason than its absence.
 */
ZKEXTERN DWORD ZKAPI ZKMiscGetDllDir(DWORD dwReserved, DWORD dwSize, LPSTR pszBuffer,
                                     LPDWORD pdwLength);
/**
 * @brief Sets the ZK directory (value "ZKDir").
 * @param dwReserved Reserved.
 * @param dwFlags    0 (this process only), ZKMISC_FLAG_STORE or
 *                   ZKMISC_FLAG_DELETE.
 * @param pszDir     The directory; a trailing backslash is dropped.
 * @return 0; 87 directory null or empty without ZKMISC_FLAG_DELETE; 122
 *         directory longer than its cache (260 characters, not counting a
 *         trailing backslash), nothing changes.  A registry failure while
 *         storing or deleting is not reported.
 */
ZKEXTERN DWORD ZKAPI ZKMiscSetZKDir(DWORD dwReserved, DWORD dwFlags, LPCSTR pszDir);
/**
 * @brief Sets the data directory (value "ZKDataDir").
 * @param dwReserved Reserved.
 * @param dwFlags    0 (this process only), ZKMISC_FLAG_STORE or
 *                   ZKMISC_FLAG_DELETE.
 * @param pszDir     The directory; a trailing backslash is dropped.
 * @return 0; 87 directory null or empty without ZKMISC_FLAG_DELETE; 122
 *         directory longer than its cache (269 characters, not counting a
 *         trailing backslash), nothing changes.  A registry failure while
 *         storing or deleting is not reported.
 */
ZKEXTERN DWORD ZKAPI ZKMiscSetDataDir(DWORD dwReserved, DWORD dwFlags, LPCSTR pszDir);
/**
 * @brief Sets the DLL directory (value "ZKDllDir").
 * @param dwReserved Reserved.
 * @param dwFlags    0 (this process only), ZKMISC_FLAG_STORE or
 *                   ZKMISC_FLAG_DELETE.
 * @param pszDir     The directory; a trailing backslash is dropped.
 * @return 0; 87 directory null or empty without ZKMISC_FLAG_DELETE; 122
 *         directory longer than its cache (260 characters, not counting a
 *         trailing backslash), nothing changes.  A registry failure while
 *         storing or deleting is not reported.
 */
ZKEXTERN DWORD ZKAPI ZKMiscSetDllDir(DWORD dwReserved, DWORD dwFlags, LPCSTR pszDir);

/**
 * @brief Gets the system type, value "ZKSystemType" (REG_DWORD).
 *
 * Nothing stored reads as 0, which is not cached, so the next get looks
 * again; so does a cache set to 0xFFFFFFFF.
 * @param dwReserved1 Reserved.
 * @param dwReserved2 Reserved.
 * @param dwReserved3 Reserved.
 * @param pdwValue    Receives the system type.
 * @return 0; 87 when pdwValue is null.
 */
ZKEXTERN DWORD ZKAPI ZKMiscGetSystemType(DWORD dwReserved1, DWORD dwReserved2, DWORD dwReserved3,
                                         LPDWORD pdwValue);
/**
 * @brief Sets the system type.
 * @param dwReserved Reserved.
 * @param dwFlags    0 (this process only), ZKMISC_FLAG_STORE or
 *                   ZKMISC_FLAG_DELETE.
 * @param dwValue    The system type.
 * @return 0 always.
 */
ZKEXTERN DWORD ZKAPI ZKMiscSetSystemType(DWORD dwReserved, DWORD dwFlags, DWORD dwValue);

/**
 * @brief Gets the language code, value "ZKLangCode" (REG_SZ).
 *
 * Values are taken as stored; when absent or unreadable, the first two
 * letters of the user locale's abbreviated language or country name (ENU
 * gives EN, USA gives US; EN and US when the locale cannot tell).  A default
 * is cached like a stored code.  A stored empty code is a code: it comes back
 * empty with the length 0 and is not cached, so the next get reads the
 * registry again.  The getter zeroes dwSize bytes of
 * pszBuffer and copies the code's characters to its start, terminated only
 * when dwSize exceeds the length.
 * @param pwLangId  Receives the code's Windows language identifier (0x0409
 *                  for EN, ...), or 0 for a code the library does not know;
 *                  may be null.
 * @param dwSize    Size of pszBuffer in bytes.
 * @param pszBuffer Receives the code.
 * @param pdwLength Receives the number of characters.
 * @return 0; 87 buffer or length pointer null; 122 the code is longer than
 *         dwSize, nothing written.
 */
ZKEXTERN DWORD ZKAPI ZKMiscGetLangCode(LPWORD pwLangId, DWORD dwSize, LPSTR pszBuffer,
                                       LPDWORD pdwLength);
/**
 * @brief Sets the language code.  An empty code empties the cache, so the next get
 * looks again.
 * @param dwReserved Reserved.
 * @param dwFlags    0 (this process only), ZKMISC_FLAG_STORE or
 *                   ZKMISC_FLAG_DELETE.
 * @param pszCode    The code.
 * @return 0; 87 code null without ZKMISC_FLAG_DELETE; 122 code longer than
 *         259 characters, nothing changes.
 */
ZKEXTERN DWORD ZKAPI ZKMiscSetLangCode(DWORD dwReserved, DWORD dwFlags, LPCSTR pszCode);
/**
 * @brief Gets the country code, value "ZKCountryCode" (REG_SZ).
 *
 * Values are taken as stored; when absent or unreadable, the first two
 * letters of the user locale's abbreviated language or country name (ENU
 * gives EN, USA gives US; EN and US when the locale cannot tell).  A default
 * is cached like a stored code.  A stored empty code is a code: it comes back
 * empty with the length 0 and is not cached, so the next get reads the
 * registry again.  The getter zeroes dwSize bytes of
 * pszBuffer and copies the code's characters to its start, terminated only
 * when dwSize exceeds the length.
 * @param pReserved Reserved; must be null.
 * @param dwSize    Size of pszBuffer in bytes.
 * @param pszBuffer Receives the code.
 * @param pdwLength Receives the number of characters.
 * @return 0; 87 buffer or length pointer null, or pReserved not null; 122 the code is longer than
 *         dwSize, nothing written.
 */
ZKEXTERN DWORD ZKAPI ZKMiscGetCountryCode(LPVOID pReserved, DWORD dwSize, LPSTR pszBuffer,
                                          LPDWORD pdwLength);
/**
 * @brief Sets the country code.  An empty code empties the cache, so the next get
 * looks again.
 * @param dwReserved Reserved.
 * @param dwFlags    0 (this process only), ZKMISC_FLAG_STORE or
 *                   ZKMISC_FLAG_DELETE.
 * @param pszCode    The code.
 * @return 0; 87 code null without ZKMISC_FLAG_DELETE; 122 code longer than
 *         259 characters, nothing changes.
 */
ZKEXTERN DWORD ZKAPI ZKMiscSetCountryCode(DWORD dwReserved, DWORD dwFlags, LPCSTR pszCode);
/**
 * @brief Gets the localize code: the language code, or for languages that
 * are qualified by their country (ZH) the country code.
 *
 * Values are taken as stored; when absent or unreadable, the first two
 * letters of the user locale's abbreviated language or country name (ENU
 * gives EN, USA gives US; EN and US when the locale cannot tell).  A default
 * is cached like a stored code.  A stored empty code is a code: it comes back
 * empty with the length 0 and is not cached, so the next get reads the
 * registry again.  The getter zeroes dwSize bytes of
 * pszBuffer and copies the code's characters to its start, terminated only
 * when dwSize exceeds the length.
 * @param pReserved Reserved; must be null.
 * @param dwSize    Size of pszBuffer in bytes.
 * @param pszBuffer Receives the code.
 * @param pdwLength Receives the number of characters.
 * @return 0; 87 buffer or length pointer null, or pReserved not null; 122 the code is longer than
 *         dwSize, nothing written.
 */
ZKEXTERN DWORD ZKAPI ZKMiscGetLocalizeCode(LPVOID pReserved, DWORD dwSize, LPSTR pszBuffer,
                                           LPDWORD pdwLength);

#endif
