/**
 * @file ZKDLog.h
 * @brief The per-module debug log.
 *
 * A log belongs to a module name.  Its records go to a file and to the
 * debug-string output, each with its own level threshold, configured in the
 * registry (ZKDLogLoadCfg).  One log handle may be used by many threads.
 */
#ifndef ZKX_ZKDLOG_H
#define ZKX_ZKDLOG_H

#include "ZKPlatform.h"

/** Opaque log handle: ZKDLogCreate makes it, ZKDLogDestroy frees it. */
typedef struct _ZKDLOG_HANDLE* PZKDLOG_HANDLE;

/**
 * @name Levels
 * The low 16 bits of a record's flags.  A record goes to each output whose
 * threshold it reaches.  The library's own traces put 0x000C in the high 16
 * bits, which are not examined.
 * @{
 */
#define ZKDLOG_LO 0x0001u /**< lowest level */
#define ZKDLOG_COM 0x0008u /**< communication details */
#define ZKDLOG_END 0x000Au /**< exit of an operation */
#define ZKDLOG_STA 0x000Bu /**< entry of an operation */
#define ZKDLOG_DBG 0x0010u /**< debugging details */
#define ZKDLOG_CHK 0x0080u /**< failed check */
#define ZKDLOG_NTA 0x0300u /**< notable event */
#define ZKDLOG_ATT 0x0800u /**< needs attention */
#define ZKDLOG_STD 0x1000u /**< standard information */
#define ZKDLOG_ERR 0x8000u /**< error */
#define ZKDLOG_EMR 0xA000u /**< emergency */
#define ZKDLOG_HI 0xFFFFu /**< highest level; always written before a configuration is loaded */
/** @} */

/**
 * @brief Creates a log for a module name.
 *
 * Until its configuration is loaded the log writes only level 0xFFFF
 * records, to the debug-string output.
 * @param pszName    Module name, cut to 260 characters.
 * @param dwReserved Reserved.
 * @param phLog      Receives the handle; null on failure.  The caller frees
 *                   it with ZKDLogDestroy.
 * @return 0; 8 out of memory; 87 phLog is null; or the system error of the
 *         handle lock's creation.
 */
ZKEXTERN DWORD ZKAPI ZKDLogCreate(LPCSTR pszName, DWORD dwReserved, PZKDLOG_HANDLE* phLog);

/**
 * @brief Frees a log handle, its path copy and its file mutex.
 * @param hLog       Handle from ZKDLogCreate; unusable afterwards.
 * @param dwReserved Reserved.
 * @return 0; 6 for a null handle.
 */
ZKEXTERN DWORD ZKAPI ZKDLogDestroy(PZKDLOG_HANDLE hLog, DWORD dwReserved);

/**
 * @brief Loads the log's configuration from the registry.
 *
 * The key is \<path\>\\Message under the root.  Below it, subkey "LOG" holds
 * the file output ("OutputTo": file path, "OutputLevel": level name) and
 * "DBG" the debug-string output ("OutputLevel").  Level names: LO COM END
 * STA DBG CHK NTA ATT STD ERR EMR HI, any case; an unknown name lets
 * everything through.  May be called again at any time.
 * @param hLog        Log handle.
 * @param dwRoot      Registry root; 0 means HKEY_LOCAL_MACHINE.
 * @param pszPath     Key path below the root; null means
 *                    SOFTWARE\\VELKO\\ZKW\\Admin\\\<module name\>.
 * @param dwReserved1 Reserved.
 * @param dwReserved2 Reserved.
 * @return 0 when the Message key opened; 87 null handle; 170 the handle's
 *         lock was busy for 2000 ms; else the registry's error for the key
 *         (2 missing, 5 refused), with the handle unchanged.
 */
ZKEXTERN DWORD ZKAPI ZKDLogLoadCfg(PZKDLOG_HANDLE hLog, DWORD dwRoot, LPCSTR pszPath,
                                   DWORD dwReserved1, DWORD dwReserved2);

/**
 * @brief Changes the indentation depth of later records.
 * @param hLog    Log handle.
 * @param nChange Steps to add (negative to remove); the depth never goes
 *                below 0.
 * @return 0; 87 null handle; 170 the handle's lock was busy for 2000 ms.
 */
ZKEXTERN DWORD ZKAPI ZKDLogIndent(PZKDLOG_HANDLE hLog, LONG nChange);

/**
 * @brief Writes one record.
 *
 * The record holds "file(line)", the local time, process and thread ids,
 * the module, the level name, the indentation and the formatted message,
 * and ends in CR LF.  A record longer than 1024 bytes is cut before its
 * line end.
 * @param hLog      Log handle.
 * @param pszFile   Source file name; the record shows what follows its
 *                  last '\\', ':' or '/'.  The '/' is cut as well so that
 *                  names from __FILE__ print alike on Windows and POSIX
 *                  builds.
 * @param dwLine    Source line shown in the record.
 * @param dwFlags   Level in the low 16 bits (ZKDLOG_*); the high 16 bits are
 *                  not examined.
 * @param pszFormat wvsprintfA format (no floating point); null writes no
 *                  message.
 * @param ...       The format's arguments.
 * @return 0 written or filtered out (a failed file write is not reported);
 *         87 null handle; 170 the handle's lock was busy for 2000 ms (the
 *         record is lost).
 */
ZKEXTERN DWORD ZKAPIV ZKDLogOut(PZKDLOG_HANDLE hLog, LPCSTR pszFile, DWORD dwLine, DWORD dwFlags,
                                LPCSTR pszFormat, ...);

#endif
