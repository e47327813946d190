/* Tick count, local time and sleeping. */
#ifndef ZKXWIN32_TIME_H
#define ZKXWIN32_TIME_H

#include "types.h"

ZKX_BEGIN_C
/* Milliseconds, 32 bits, wrapping.  ZKX_TICK_START sets the value the
 * process's first call returns, so tests can start near the wrap. */
DWORD WINAPI GetTickCount(void);
void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime);
void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime);
void WINAPI Sleep(DWORD dwMilliseconds);
ZKX_END_C

#endif
