// Library-wide values kept by the entry, for the library's own families.
#ifndef ZKX_ZKMISC_PRIV_H
#define ZKX_ZKMISC_PRIV_H

#include "ZKDLog.h"
#include "ZKMisc.h"

// The flags of every trace the library writes: level in the low word,
// 0x000C in the high word.
#define ZKMISC_TRACE(level) (0x000C0000u | (level))

extern HINSTANCE g_hZKMiscModule;     // the library's own module
extern PZKDLOG_HANDLE g_hZKMiscLog;   // "ZKMisc": entry, poll threads
extern PZKDLOG_HANDLE g_hZKShMemLog;  // "ZKShMem": shared-memory heap

#endif
