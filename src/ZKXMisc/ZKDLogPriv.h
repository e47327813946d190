// Inside the debug log: the handle record and what its two files share.
#ifndef ZKX_ZKDLOG_PRIV_H
#define ZKX_ZKDLOG_PRIV_H

#include "ZKDLog.h"
#include "ZKExcl.h"

#define ZKDLOG_NAME_SIZE 261
#define ZKDLOG_LINE_SIZE 1024
#define ZKDLOG_LOCK_TIMEOUT 2000

struct _ZKDLOG_OUTPUT;
typedef DWORD (*PFN_ZKDLOG_WRITE)(struct _ZKDLOG_OUTPUT* pOutput, LPCSTR pszText, DWORD dwLength);

typedef struct _ZKDLOG_OUTPUT {
    WORD wKind;                  /* 4 file, 8 debug-string output */
    WORD wLevel;                 /* records at or above it are written */
    LPCSTR pszKey;               /* registry subkey: "LOG" or "DBG" */
    LPSTR pszPath;               /* file output: owned copy of the path, or null */
    HANDLE hFileMutex;           /* file output: named mutex of the path */
    PFN_ZKDLOG_WRITE pfnWrite;
} ZKDLOG_OUTPUT;

struct _ZKDLOG_HANDLE {
    LONG nIndent;
    ZKEXCL_CRITSEC csLock;
    ZKDLOG_OUTPUT aOutput[2];    /* [0] file, [1] debug-string output */
    char szName[ZKDLOG_NAME_SIZE];
};

#define ZKDLOG_OUT_FILE 0
#define ZKDLOG_OUT_DEBUG 1

// What a record's header shows; the time and ids are taken by ZKDLogOut.
typedef struct _ZKDLOG_RECORD {
    LPCSTR pszFile;
    DWORD dwLine;
    SYSTEMTIME time;
    DWORD dwProcessId;
    DWORD dwThreadId;
    LPCSTR pszModule;
    WORD wLevel;
    LONG nIndent;
} ZKDLOG_RECORD;

// Formats one record into pszLine (ZKDLOG_LINE_SIZE bytes, no terminator
// written) and returns its length.  A record that would not fit is cut
// before its CR LF.
int zkdlog_format_record(char* pszLine, const ZKDLOG_RECORD& rec, LPCSTR pszFormat, va_list args);

// The level whose name matches, ignoring case; 0 when none does.
WORD zkdlog_level_from_name(LPCSTR name);

#endif
