/*
 * Debug-string output: a channel that one viewer in the same object
 * namespace reads, as a debugger reads it on Windows.
 *
 * The channel is a 4096-byte shared buffer (the sender's process id, then the
 * text) with the named events "DBWIN_BUFFER_READY" and "DBWIN_DATA_READY" and
 * the senders' mutex "DBWinMutex".  With no viewer, OutputDebugStringA drops
 * the text at once; a viewer that does not take the buffer within a second
 * loses that text, and the sender goes on.
 */
#ifndef ZKXWIN32_DEBUG_H
#define ZKXWIN32_DEBUG_H

#include "types.h"

ZKX_BEGIN_C
void WINAPI OutputDebugStringA(LPCSTR lpOutputString);

/* The viewer's side (for tools and tests).  Only one viewer reads a
 * namespace at a time: a second open fails with 170 (ERROR_BUSY). */
typedef struct ZKX_DEBUG_VIEWER ZKX_DEBUG_VIEWER;
ZKX_DEBUG_VIEWER* WINAPI zkx_debug_viewer_open(void);
/* Waits up to timeout ms for the next text: TRUE with the sender's process id
 * and the text (cut to size - 1 and terminated), FALSE with last error 258
 * on timeout. */
BOOL WINAPI zkx_debug_viewer_read(ZKX_DEBUG_VIEWER* viewer, DWORD timeout, LPDWORD pid,
                                  LPSTR text, DWORD size);
void WINAPI zkx_debug_viewer_close(ZKX_DEBUG_VIEWER* viewer);
ZKX_END_C

#endif
