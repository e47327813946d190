/* The per-module debug log. */
#ifndef ZKX_ZKDLOG_H
#define ZKX_ZKDLOG_H

#include "ZKPlatform.h"

/* Opaque log handle; create, use, destroy. */
typedef struct _ZKDLOG_HANDLE* PZKDLOG_HANDLE;

/* Levels: the low 16 bits of a trace's flags.  A record goes to each output
 * whose threshold it reaches.  The library's own traces put 0x000C in the
 * high 16 bits, which are not examined. */
#define ZKDLOG_LO 0x0001u
#define ZKDLOG_COM 0x0008u
#define ZKDLOG_END 0x000Au
#define ZKDLOG_STA 0x000Bu
#define ZKDLOG_DBG 0x0010u
#define ZKDLOG_CHK 0x0080u
#define ZKDLOG_NTA 0x0300u
#define ZKDLOG_ATT 0x0800u
#define ZKDLOG_STD 0x1000u
#define ZKDLOG_ERR 0x8000u
#define ZKDLOG_EMR 0xA000u
#define ZKDLOG_HI 0xFFFFu

/*
 * Creates a log for a module name (cut to 260 characters).  Until its
 * configuration is loaded it writes only level 0xFFFF records, to the
 * debug-string output.  0; 8 out of memory; 87 when phLog is null; or the
 * error of the lock's creation.  *phLog is null on failure.
 */
ZKEXTERN DWORD ZKAPI ZKDLogCreate(LPCSTR pszName, DWORD dwReserved, PZKDLOG_HANDLE* phLog);

/* Frees the handle, its path copy and its file mutex.  0; 6 for null. */
ZKEXTERN DWORD ZKAPI ZKDLogDestroy(PZKDLOG_HANDLE hLog, DWORD dwReserved);

/*
 * Loads the configuration from the registry key <path>\Message under hRoot
 * (0: HKEY_LOCAL_MACHINE); a null path means
 * SOFTWARE\VELKO\ZKW\Admin\<module name>.  Below it, subkey "LOG" holds the
 * file output ("OutputTo": file path, "OutputLevel": level name) and "DBG"
 * the debug-string output ("OutputLevel").  Level names: LO COM END STA DBG
 * CHK NTA ATT STD ERR EMR HI, any case; an unknown name lets everything
 * through.  May be called again at any time.
 * 0 when the Message key opened; 87 null handle; 170 lock busy for 2000 ms;
 * else the registry's error for the key (2 missing, 5 refused), with the
 * handle unchanged.
 */
ZKEXTERN DWORD ZKAPI ZKDLogLoadCfg(PZKDLOG_HANDLE hLog, DWORD dwRoot, LPCSTR pszPath,
                                   DWORD dwReserved1, DWORD dwReserved2);

/* Changes the indentation depth (never below 0).  0; 87 null; 170 busy. */
ZKEXTERN DWORD ZKAPI ZKDLogIndent(PZKDLOG_HANDLE hLog, LONG nChange);

/*
 * Writes one record: "file(line)", local time, process and thread ids,
 * module, level name, indentation and the message formatted by wvsprintfA
 * (no floating point; a null format writes no message), ending in CR LF.
 * A record longer than 1024 bytes is cut before its line end.  0 written or
 * filtered out (a failed file write is not reported); 87 null handle; 170
 * lock busy for 2000 ms (the record is lost).
 */
ZKEXTERN DWORD ZKAPIV ZKDLogOut(PZKDLOG_HANDLE hLog, LPCSTR pszFile, DWORD dwLine, DWORD dwFlags,
                                LPCSTR pszFormat, ...);

#endif
