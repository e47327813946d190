// The log handle is opaque to callers, but its order of fields is fixed:
// the outputs are 20-byte records, the file output first.
#include "ZKDLogPriv.h"
#include "layout_check.h"

ZKX_CHECK_SIZE(ZKDLOG_OUTPUT, 20);
ZKX_CHECK_FIELD(ZKDLOG_OUTPUT, wKind, 0);
ZKX_CHECK_FIELD(ZKDLOG_OUTPUT, wLevel, 2);
ZKX_CHECK_FIELD(ZKDLOG_OUTPUT, pszKey, 4);
ZKX_CHECK_FIELD(ZKDLOG_OUTPUT, pszPath, 8);
ZKX_CHECK_FIELD(ZKDLOG_OUTPUT, hFileMutex, 12);
ZKX_CHECK_FIELD(ZKDLOG_OUTPUT, pfnWrite, 16);

// 4 + 20 + 2 * 20 + 261, rounded up to the 4-byte alignment of its words.
ZKX_CHECK_SIZE(_ZKDLOG_HANDLE, 328);
ZKX_CHECK_FIELD(_ZKDLOG_HANDLE, nIndent, 0);
ZKX_CHECK_FIELD(_ZKDLOG_HANDLE, csLock, 4);
ZKX_CHECK_FIELD(_ZKDLOG_HANDLE, aOutput, 24);
ZKX_CHECK_FIELD_SIZE(_ZKDLOG_HANDLE, aOutput, 40);
ZKX_CHECK_FIELD(_ZKDLOG_HANDLE, szName, 64);
ZKX_CHECK_FIELD_SIZE(_ZKDLOG_HANDLE, szName, 261);
